#!/usr/bin/env python3
"""The differential check: one corpus of scenarios, run through the Linux
build (libovdelete.so) and through OVDELETE.dll under Wine.

    python3 tests/differential/run.py --native build/native --win32 build/win32

For every scenario and delivery mode it compares, between the two builds
and against the outcome the corpus expects:

- the result FileDeleteWC returned;
- the diagnostic line as delivered: the logger's output line, or the
  debugger-output text (tag, text, CR LF);
- the sorted list of the entries left in the scenario's directory.

A difference between the builds passes only when the corpus lists it for
that scenario, with its reason (the scenario's "wine" entry).  The run ends
with a line "N passed, N failed, N skipped" and exits 0 when nothing failed.

Each build runs each mode as one batch: ovdiffhost (built beside the
library) loads the library once and makes every scenario's call in the
scenario's own directory, with a marker call before each one whose "File Not
Found" line shows where the scenario's own lines begin.  A Wine process
start costs up to a minute where 32-bit programs run under an emulator, so
the whole corpus costs a handful of them.

Only the standard library.  Every child's standard streams go to files,
never to pipes: Wine's background processes inherit them and would keep a
pipe open long after the program ended.
"""

import argparse
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
MODES = ("logger", "debugger", "none")
# The logger objects the check's processes share, apart from any others.
NAMESPACE = "differential-%d" % os.getpid()
TAG = b"UNKNOWN /"
PROFILE = b"[Quonvel]\r\nUseDebuggerOutput=1\r\n"
PROFILE_SECTION = b"[quonvel]"

# Generous: under an emulator a Wine process takes a minute to start, and a
# batch holds every scenario of a mode.
BATCH_TIMEOUT = 600.0
LOGGER_START_TIMEOUT = 300.0
# The handoff waits for the logger's acknowledgement, so a line is printed
# before its call returns; this only gives a late one a chance to be seen.
LOGGER_SETTLE = 0.3


def log(text=""):
    print(text, flush=True)


def marker(index):
    return b"File Not Found: ovdiff-mark-%04d.none" % index


# ---------------------------------------------------------------- corpus

def expand(text):
    """{c*N} stands for N times the character c."""
    return re.sub(r"\{(.)\*(\d+)\}", lambda m: m.group(1) * int(m.group(2)), text)


def expand_range(text):
    """{000..599} stands for one name per number, as wide as the first."""
    m = re.search(r"\{(\d+)\.\.(\d+)\}", text)
    if not m:
        return [text]
    width = len(m.group(1))
    return [text[:m.start()] + str(n).zfill(width) + text[m.end():]
            for n in range(int(m.group(1)), int(m.group(2)) + 1)]


def parse_entry(text):
    """'name', 'name/' (a directory), then '|flag,flag': ro, mode=0464,
    link=TARGET."""
    name, _, flags = text.partition("|")
    entry = {"path": expand(name).rstrip("/"), "dir": name.endswith("/"), "mode": None, "link": None}
    for flag in filter(None, flags.split(",")):
        if flag == "ro":
            entry["mode"] = 0o555 if entry["dir"] else 0o444
        elif flag.startswith("mode="):
            entry["mode"] = int(flag[5:], 8)
        elif flag.startswith("link="):
            entry["link"] = expand(flag[5:])
        else:
            raise ValueError("unknown flag %r in entry %r" % (flag, text))
    return entry


def outcome(raw):
    line = raw.get("line")
    return {
        "result": raw["result"],
        "line": None if line is None else expand(line),
        "encoding": raw.get("encoding", "utf-8"),
        "left": sorted(expand(y) for x in raw["left"] for y in expand_range(x)),
    }


def load_corpus(path):
    with open(path, encoding="utf-8") as f:
        corpus = json.load(f)
    scenarios, names = [], set()
    for raw in corpus["scenarios"]:
        name = raw["name"]
        if name in names:
            raise ValueError("scenario %s is listed twice" % name)
        names.add(name)
        modes = raw.get("modes", ["logger"])
        if not modes or any(m not in MODES for m in modes):
            raise ValueError("scenario %s: modes must be some of %s" % (name, ", ".join(MODES)))
        wine = raw.get("wine")
        if wine is not None and not wine.get("reason"):
            raise ValueError("scenario %s: a listed difference needs its reason" % name)
        scenarios.append({
            "name": name,
            "entries": [parse_entry(y) for e in raw.get("entries", []) for y in expand_range(e)],
            "pattern": expand(raw["pattern"]),
            "modes": modes,
            "expect": outcome(raw["expect"]),
            "wine": outcome({**raw["expect"], **wine}) if wine else None,
            "reason": wine["reason"] if wine else "",
            "skip": raw.get("skip"),
            "requires": raw.get("requires"),
        })
    return scenarios


# ---------------------------------------------------------------- files

def populate(root, entries):
    for e in entries:
        path = os.path.join(root, e["path"])
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if e["link"] is not None:
            os.symlink(e["link"], path)
        elif e["dir"]:
            os.makedirs(path, exist_ok=True)
        else:
            with open(path, "wb") as f:
                f.write(b"x\n")
    # Deepest first, so that a read-only directory gets its mode after
    # everything inside it exists.
    for e in sorted(entries, key=lambda e: -e["path"].count("/")):
        if e["mode"] is not None and e["link"] is None:
            os.chmod(os.path.join(root, e["path"]), e["mode"])


def entries_left(root):
    """Every entry under root: directories end in '/', links in '@'."""
    left = []
    for directory, dirs, files in os.walk(root):
        rel = os.path.relpath(directory, root)
        for name in dirs + files:
            path = name if rel == "." else rel + "/" + name
            full = os.path.join(directory, name)
            if os.path.islink(full):
                left.append(path + "@")
            elif os.path.isdir(full):
                left.append(path + "/")
            else:
                left.append(path)
    return sorted(left)


def remove_tree(root):
    if not os.path.lexists(root):
        return
    for directory, dirs, _ in os.walk(root):
        for name in dirs:
            full = os.path.join(directory, name)
            if not os.path.islink(full):
                os.chmod(full, 0o755)
    os.chmod(root, 0o755)
    shutil.rmtree(root, ignore_errors=True)


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b""


# ---------------------------------------------------------------- processes

def start(argv, env, cwd, out_path, err_path):
    """Starts a program in a process group of its own, its standard input
    from /dev/null and its output into files."""
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        return subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=err, start_new_session=True)


def kill_group(process, sig=signal.SIGKILL):
    """Signals the process group that start() made for the child."""
    try:
        os.killpg(process.pid, sig)
    except (ProcessLookupError, PermissionError):
        pass


def wait_or_kill(process, timeout):
    """The exit status, or None when the program had to be killed."""
    try:
        return process.wait(timeout)
    except subprocess.TimeoutExpired:
        kill_group(process)
        process.wait()
        return None


def split_lines(data):
    """The complete lines of a program's output.  Windows writes standard
    output in text mode, so a line may end in CR LF there; the line itself
    is what is compared."""
    lines = data.split(b"\n")[:-1]
    return [l[:-1] if l.endswith(b"\r") else l for l in lines]


def segments_of_lines(lines, count):
    """Splits a logger's lines at the markers: the lines of each scenario,
    or None where a marker around it is missing; and the lines outside any
    scenario (before the first marker, after the last, or out of order)."""
    positions, at = [], 0
    for i in range(count + 1):
        wanted = TAG + marker(i)
        try:
            at = lines.index(wanted, at)
            positions.append(at)
        except ValueError:
            positions.append(None)
    segments = []
    for i in range(count):
        a, b = positions[i], positions[i + 1]
        segments.append(None if a is None or b is None else lines[a + 1:b])
    found = [p for p in positions if p is not None]
    outside = lines[:found[0]] + lines[found[-1] + 1:] if found else lines
    return segments, outside


def segments_of_text(text, count):
    """The same for a debug text, whose strings each end in CR LF."""
    positions, at = [], 0
    for i in range(count + 1):
        wanted = TAG + marker(i) + b"\r\n"
        found = text.find(wanted, at)
        positions.append(None if found < 0 else (found, found + len(wanted)))
        if found >= 0:
            at = found + len(wanted)
    segments = []
    for i in range(count):
        a, b = positions[i], positions[i + 1]
        segments.append(None if a is None or b is None else text[a[1]:b[0]])
    found = [p for p in positions if p is not None]
    outside = text[:found[0][0]] + text[found[-1][1]:] if found else text
    return segments, outside


# ---------------------------------------------------------------- backends

class Backend:
    """One build: how its programs are started, and how the debugger-output
    switch is set."""

    label = ""
    host = ""
    logger_program = ""

    def __init__(self, build_dir, work):
        self.build_dir = os.path.abspath(build_dir)
        self.bin = os.path.join(self.build_dir, "bin")
        self.work = work
        self.logger = None
        self.logger_out = None
        self.processes = 0

    def setup(self):
        pass

    def teardown(self):
        self.stop_logger()

    def require(self, names, hint):
        missing = [n for n in names if not os.path.exists(os.path.join(self.bin, n))]
        if missing:
            raise RuntimeError("%s: %s missing in %s; %s" % (self.label, ", ".join(missing), self.bin, hint))

    def start_logger(self):
        self.logger_out = os.path.join(self.work, self.label + "-logger.out")
        err_path = os.path.join(self.work, self.label + "-logger.err")
        self.processes += 1
        self.logger = start(self.command(self.logger_program), self.env, self.work, self.logger_out, err_path)
        deadline = time.monotonic() + LOGGER_START_TIMEOUT
        while b"ready" not in read_bytes(err_path):
            if self.logger.poll() is not None or time.monotonic() > deadline:
                err = read_bytes(err_path).decode("utf-8", "replace").strip()
                self.stop_logger()
                raise RuntimeError("%s: the logger did not start: %s" % (self.label, err or "no output"))
            time.sleep(0.05)

    def stop_logger(self):
        if self.logger is None:
            return
        kill_group(self.logger, self.stop_signal)
        if wait_or_kill(self.logger, 15) is None:
            log("%s: the logger did not stop when asked and was killed" % self.label)
        self.logger = None

    def logger_lines(self):
        return split_lines(read_bytes(self.logger_out)) if self.logger is not None else None

    def run_batch(self, mode, base, directories, patterns):
        """Runs one mode's calls in one process.  Returns (results,
        debug text or None where it is not captured, problems)."""
        script = os.path.join(self.work, "%s-%s.script" % (self.label, mode))
        results_path = os.path.join(self.work, "%s-%s.results" % (self.label, mode))
        with open(script, "wb") as f:
            for directory, pattern in zip(directories, patterns):
                f.write(directory.encode() + b"\0" + self.encode(pattern) + b"\0")
        out_path = os.path.join(self.work, "%s-%s.out" % (self.label, mode))
        err_path = os.path.join(self.work, "%s-%s.err" % (self.label, mode))
        argv, debug_from = self.batch_argv(mode, self.host_path(script), self.host_path(results_path))
        process = start(argv, self.env, base, out_path, err_path)
        status = wait_or_kill(process, BATCH_TIMEOUT)
        out, err = read_bytes(out_path), read_bytes(err_path)
        problems = []
        if status is None:
            problems.append("the host did not finish within %gs" % BATCH_TIMEOUT)
        elif status != 0:
            problems.append("the host ended with status %s: %s" % (status, (err or out)[-500:]))
        results = {}
        for line in split_lines(read_bytes(results_path)):
            index, _, value = line.partition(b" ")
            results[int(index)] = int(value)
        debug = {"stdout": out, "stderr": err, None: None}[debug_from]
        if debug_from != "stderr" and err:
            problems.append("the host wrote to standard error: %r" % err[-500:])
        return results, debug, problems


class NativeBackend(Backend):
    label = "native"
    host = "ovdiffhost"
    logger_program = "ovlogger"
    stop_signal = signal.SIGTERM

    def setup(self):
        self.require(["ovdiffhost", "ovlogger", "libovdelete.so"],
                     "build the native preset (cmake --build --preset native)")
        # A profile and logger objects of the run's own, so that neither the
        # user's WIN.INI nor a logger the user runs plays any part.
        self.config = os.path.join(self.work, "native-config")
        os.makedirs(self.config, exist_ok=True)
        self.env = dict(os.environ, XDG_CONFIG_HOME=self.config, OVDELETE_NAMESPACE=NAMESPACE)
        self.set_switch(False)

    def set_switch(self, on):
        with open(os.path.join(self.config, "win.ini"), "wb") as f:
            f.write(PROFILE if on else b"")

    def command(self, program, *args):
        return [os.path.join(self.bin, program)] + list(args)

    def host_path(self, path):
        return path

    def encode(self, pattern):
        return pattern.encode("utf-8")

    def batch_argv(self, mode, script, results):
        self.processes += 1
        # The POSIX layer's debugger-output stream is standard error.
        return self.command(self.host, script, results), "stderr"


class WineBackend(Backend):
    label = "win32"
    host = "ovdiffhost.exe"
    logger_program = "ovlogger.exe"
    # Wine's console programs take no stop request from a signal; ending the
    # process is what the server cleans up after.
    stop_signal = signal.SIGKILL

    def __init__(self, build_dir, work, prefix):
        super().__init__(build_dir, work)
        self.prefix_option = prefix
        self.saved_ini = None
        self.ini_touched = False

    def use_build(self, build_dir):
        self.build_dir = os.path.abspath(build_dir)
        self.bin = os.path.join(self.build_dir, "bin")
        self.require(["ovdiffhost.exe", "ovlogger.exe", "ovdbgview.exe", "OVDELETE.dll"],
                     "build the Windows preset (cmake --build --preset win32)")
        # The prefix the build's own tests use, as cmake/wine-run.sh makes it.
        self.prefix = os.path.abspath(self.prefix_option or os.path.join(self.build_dir, "wine-prefix"))
        self.win_ini = os.path.join(self.prefix, "drive_c", "windows", "win.ini")
        self.machine = pe_machine(os.path.join(self.bin, "OVDELETE.dll"))
        self.wine = self.find_loader()

    def loader_fails(self):
        """Why Wine's loader cannot run here, or None when it can: a kernel
        without 32-bit support cannot start the 32-bit loader at all."""
        try:
            done = subprocess.run([self.wine, "--version"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, timeout=120)
        except OSError as e:
            return str(e)
        except subprocess.TimeoutExpired:
            return "%s --version did not answer" % self.wine
        if done.returncode != 0:
            return done.stderr.decode("utf-8", "replace").strip() or "exit status %d" % done.returncode
        return None

    def setup(self):
        self.use_build(self.build_dir)
        problem = self.loader_fails()
        if problem is not None:
            # The same sources built for 64-bit Windows run under Wine's
            # 64-bit loader, through the same file-system code of Wine.
            sibling = os.path.join(os.path.dirname(self.build_dir), "win64")
            if self.machine != "x86" or not os.path.exists(os.path.join(sibling, "bin", "OVDELETE.dll")):
                raise RuntimeError("win32: Wine cannot run %s here: %s" % (self.wine, problem))
            log("win32: this machine cannot run 32-bit programs (%s);" % problem)
            log("win32: checking the 64-bit build of the same sources, %s, instead" % sibling)
            self.use_build(sibling)
            problem = self.loader_fails()
            if problem is not None:
                raise RuntimeError("win32: Wine cannot run %s here either: %s" % (self.wine, problem))
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", OVDELETE_NAMESPACE=NAMESPACE)
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(name, None)
        self.kill_leftover_loggers()
        # A server that outlives each program by 60 s, detached from every
        # stream of this script, so that no program waits for one to start;
        # when it was not running yet, wineboot brings the prefix up to date
        # (or makes it), as cmake/wine-run.sh does for the tests.
        server = os.path.join(os.path.dirname(self.wine), "wineserver")
        if not os.access(server, os.X_OK):
            server = shutil.which("wineserver") or "wineserver"
        os.makedirs(self.prefix, exist_ok=True)
        detached = dict(env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL, start_new_session=True)
        if subprocess.run([server, "-p60"], timeout=120, **detached).returncode == 0:
            subprocess.run([self.wine, "wineboot"], timeout=BATCH_TIMEOUT, **detached)
        if not os.path.exists(self.win_ini):
            raise RuntimeError("win32: the Wine prefix %s has no drive_c/windows/win.ini" % self.prefix)
        self.saved_ini = read_bytes(self.win_ini)
        self.ini_touched = True
        self.set_switch(False)

    def find_loader(self):
        """The loader the build's tests use (OV_WINE in its cache), else the
        one for the DLL's machine."""
        cache = os.path.join(self.build_dir, "CMakeCache.txt")
        if os.path.exists(cache):
            with open(cache, encoding="utf-8", errors="replace") as f:
                for line in f:
                    m = re.match(r"OV_WINE(?::\w+)?=(.+)", line.strip())
                    if m and os.access(m.group(1), os.X_OK):
                        return m.group(1)
        name = "wine64" if self.machine == "x64" else "wine"
        for candidate in (shutil.which(name), "/usr/lib/wine/" + name):
            if candidate and os.access(candidate, os.X_OK):
                return candidate
        raise RuntimeError("win32: Wine (%s) is not installed" % name)

    def teardown(self):
        try:
            super().teardown()
        finally:
            if self.ini_touched:
                with open(self.win_ini, "wb") as f:
                    f.write(self.saved_ini)
                self.ini_touched = False

    def kill_leftover_loggers(self):
        """An ovlogger.exe that an earlier run left in this prefix would
        keep ours from starting.  Only processes whose WINEPREFIX is this
        prefix are ended, each by its id."""
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    if b"ovlogger.exe" not in f.read().lower():
                        continue
                with open("/proc/%s/environ" % pid, "rb") as f:
                    environ = f.read().split(b"\0")
            except OSError:
                continue
            if b"WINEPREFIX=" + self.prefix.encode() in environ:
                log("win32: ending ovlogger.exe left over from an earlier run (pid %s)" % pid)
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except OSError:
                    pass

    def set_switch(self, on):
        """WIN.INI as it was, less any [Quonvel] section, plus ours when on."""
        kept, skipping = [], False
        for line in (self.saved_ini or b"").splitlines(keepends=True):
            if line.strip().startswith(b"["):
                skipping = line.strip().lower() == PROFILE_SECTION
            if not skipping:
                kept.append(line)
        text = b"".join(kept)
        if text and not text.endswith(b"\n"):
            text += b"\r\n"
        with open(self.win_ini, "wb") as f:
            f.write(text + (PROFILE if on else b""))

    def command(self, program, *args):
        return [self.wine, os.path.join(self.bin, program)] + list(args)

    def host_path(self, path):
        # Z: is the root of the Unix file system in every prefix.
        return "Z:" + path.replace("/", "\\")

    def encode(self, pattern):
        # The ANSI code page of Wine's default (English) locale.
        return pattern.encode("cp1252")

    def batch_argv(self, mode, script, results):
        if mode == "logger":
            self.processes += 1
            return self.command(self.host, script, results), None
        # The debug strings, byte for byte, on ovdbgview's standard output.
        self.processes += 2
        host = self.host_path(os.path.join(self.bin, self.host))
        return self.command("ovdbgview.exe", "--", host, script, results), "stdout"


def pe_machine(path):
    """'x86' or 'x64' for a PE file."""
    with open(path, "rb") as f:
        data = f.read(4096)
    offset = struct.unpack_from("<I", data, 0x3C)[0]
    machine = struct.unpack_from("<H", data, offset + 4)[0]
    return {0x14C: "x86", 0x8664: "x64"}.get(machine, hex(machine))


# ---------------------------------------------------------------- running

def run_backend(backend, scenarios, observations, batch_problems):
    """Runs every mode's scenarios through one backend, one batch per mode:
    first without a logger, then with one, then with the switch on and the
    logger still running (it must receive nothing)."""
    backend.setup()
    try:
        for mode in ("none", "logger", "debugger"):
            todo = [s for s in scenarios if mode in s["modes"] and not s["skipped"]]
            if not todo:
                continue
            backend.set_switch(mode == "debugger")
            if mode != "none" and backend.logger is None:
                backend.start_logger()
            base = tempfile.mkdtemp(prefix="%s-%s-" % (backend.label, mode), dir=backend.work)
            directories = ["%03d" % i for i in range(len(todo))]
            for s, d in zip(todo, directories):
                os.mkdir(os.path.join(base, d))
                populate(os.path.join(base, d), s["entries"])
            lines_before = len(backend.logger_lines() or [])
            results, debug, problems = backend.run_batch(mode, base, directories, [s["pattern"] for s in todo])
            if backend.logger is not None:
                time.sleep(LOGGER_SETTLE)
            lines = backend.logger_lines()
            lines = None if lines is None else lines[lines_before:]
            key = (backend.label, mode)
            batch_problems[key] = problems
            line_segments = [None] * len(todo)
            text_segments = [None] * len(todo)
            if mode == "logger":
                line_segments, outside = segments_of_lines(lines, len(todo))
                if outside:
                    problems.append("logger lines outside any scenario: %r" % outside)
                if debug:
                    problems.append("debugger output in logger mode: %r" % debug[-500:])
            elif mode == "debugger":
                text_segments, outside = segments_of_text(debug, len(todo))
                if outside:
                    problems.append("debugger output outside any scenario: %r" % outside[-500:])
                if lines:
                    problems.append("the logger received lines in debugger mode: %r" % lines)
            elif debug:
                problems.append("debugger output without the switch and without a logger: %r" % debug[-500:])
            for i, (s, d) in enumerate(zip(todo, directories)):
                observations[(s["name"], mode, backend.label)] = {
                    "result": results.get(i),
                    "line": line_segments[i] if mode == "logger" else text_segments[i],
                    "left": entries_left(os.path.join(base, d)),
                }
            remove_tree(base)
        backend.stop_logger()
    finally:
        backend.teardown()


def wanted(outcome, mode):
    """What a run in this mode must show for an outcome of the corpus."""
    line = None if outcome["line"] is None else TAG + outcome["line"].encode(outcome["encoding"])
    if mode == "logger":
        delivered = [line] if line else []
    elif mode == "debugger":
        delivered = line + b"\r\n" if line else b""
    else:
        delivered = None  # nothing anywhere: checked once for the batch
    return {"result": outcome["result"], "line": delivered, "left": outcome["left"]}


def show(value, limit=None):
    if isinstance(value, bytes):
        text = repr(value)[1:]
    elif isinstance(value, list):
        text = "[" + ", ".join(show(v) for v in value) + "]"
    else:
        text = repr(value)
    if limit and len(text) > limit:
        text = text[:limit - 3] + "..."
    return text


def report(scenarios, observations, batch_problems, backends):
    passed = failed = skipped = 0
    rows, differences, failures = [], [], []
    for s in scenarios:
        if s["skipped"]:
            skipped += 1
            rows.append((s["name"], "-", "skipped", s["skipped"]))
            continue
        for mode in s["modes"]:
            obs = {b: observations.get((s["name"], mode, b)) for b in backends}
            problems = []
            for b in backends:
                outcome = s["wine"] if b == "win32" and s["wine"] else s["expect"]
                want = wanted(outcome, mode)
                o = obs[b]
                for field in ("result", "line", "left"):
                    if mode == "none" and field == "line":
                        continue
                    if o[field] != want[field]:
                        problems.append("%s %s: got %s, expected %s" % (b, field, show(o[field]), show(want[field])))
            between = []
            if len(backends) == 2:
                between = [f for f in ("result", "line", "left") if obs["native"][f] != obs["win32"][f]]
                if between:
                    differences.append((s, mode, between, obs, not problems and s["wine"] is not None))
            if problems:
                failed += 1
                failures.append(("%s [%s]" % (s["name"], mode), "pattern %r" % s["pattern"], problems))
                verdict = "FAIL"
            else:
                passed += 1
                verdict = "listed difference" if between else ("same" if len(backends) == 2 else "ok")
            native = obs["native"]
            line = show(native["line"], 58) if mode != "none" else "(nothing anywhere)"
            rows.append((s["name"], mode, verdict, "result %s, %s" % (native["result"], line)))
    for (b, mode), problems in sorted(batch_problems.items()):
        if problems:
            failed += 1
            failures.append(("the %s batch of %s" % (mode, b), "", problems))

    width = max(len(r[0]) for r in rows)
    log("%-*s  %-8s  %-17s  %s" % (width, "scenario", "mode", "verdict", "native result and line"))
    for name, mode, verdict, detail in rows:
        log("%-*s  %-8s  %-17s  %s" % (width, name, mode, verdict, detail))
    if differences:
        log()
        log("Differences between the Linux build and the DLL under Wine:")
        for s, mode, fields, obs, listed in differences:
            log("  %s [%s] %s" % (s["name"], mode, "listed" if listed else "NOT LISTED"))
            for f in fields:
                log("      %-6s native %s" % (f, show(obs["native"][f])))
                log("      %-6s win32  %s" % ("", show(obs["win32"][f])))
            if listed:
                log("      why: %s" % s["reason"])
    if failures:
        log()
        log("Failures:")
        for what, detail, problems in failures:
            log("  %s %s" % (what, detail))
            for p in problems:
                log("      " + p)
    return passed, failed, skipped


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--native", required=True, help="the native build directory (build/native)")
    parser.add_argument("--win32", required=True,
                        help="the Windows build directory (build/win32; a 64-bit build works the same)")
    parser.add_argument("--corpus", default=os.path.join(HERE, "corpus.json"))
    parser.add_argument("--wineprefix", help="the Wine prefix (default: the one the Windows build's tests use, "
                                             "DIR/wine-prefix)")
    parser.add_argument("--only", action="append", default=[], help="only scenarios whose name holds this")
    parser.add_argument("--native-only", action="store_true",
                        help="check only the Linux build against the corpus")
    args = parser.parse_args()

    started = time.monotonic()
    scenarios = load_corpus(args.corpus)
    if args.only:
        scenarios = [s for s in scenarios if any(o in s["name"] for o in args.only)]
        if not scenarios:
            parser.error("no scenario name holds %s" % " or ".join(args.only))
    for s in scenarios:
        s["skipped"] = s["skip"]
        if not s["skipped"] and s["requires"] == "root" and os.geteuid() != 0:
            s["skipped"] = "needs root: Linux keeps an unprivileged user from deleting in a read-only directory"

    work = tempfile.mkdtemp(prefix="ovdelete-differential-")
    backends = [NativeBackend(args.native, work)]
    if not args.native_only:
        backends.append(WineBackend(args.win32, work, args.wineprefix))
    observations, batch_problems = {}, {}

    def on_term(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, on_term)
    try:
        for backend in backends:
            t0 = time.monotonic()
            try:
                run_backend(backend, scenarios, observations, batch_problems)
            except RuntimeError as e:
                log("error: %s" % e)
                log("0 passed, 1 failed")
                return 2
            backend.seconds = time.monotonic() - t0
    except KeyboardInterrupt:
        log("interrupted")
        return 130
    finally:
        shutil.rmtree(work, ignore_errors=True)

    passed, failed, skipped = report(scenarios, observations, batch_problems, [b.label for b in backends])
    log()
    for b in backends:
        extra = " (%s, %s DLL, %s)" % (b.build_dir, b.machine, os.path.basename(b.wine)) if b.label == "win32" else ""
        log("%s%s: %d processes, %.1fs" % (b.label, extra, b.processes, b.seconds))
    log("total %.1fs" % (time.monotonic() - started))
    log("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
