#!/bin/sh
# wine-run.sh WINE PROGRAM ARGS...: the cross build's emulator.
#
# Runs a Windows program under Wine in a prefix of its own: $WINEPREFIX when
# set, otherwise "wine-prefix" in the build directory (the parent of the
# program's directory).  Wine's server and its service processes inherit the
# standard streams of whoever starts them first; started from inside a test
# they would hold ctest's pipes open and ctest would wait for them.  So before
# the program runs, the server and the prefix are brought up here, detached
# from every stream (a lock keeps parallel runs from racing).
#
# The server lives $persist seconds past its last client.  Finding it
# running is not enough: one found in its last moments, or while it shuts
# down, is gone when the program connects, and the program then starts a
# server of its own on ctest's pipes (measured: 32 of 304 such starts held
# them for seconds).  So the bring-up is also done whenever no run has ended
# for $fresh seconds (the stamp holds the time, as uptime); its wineboot is a
# client, which starts the server's count again.
#
# A Wine process can die by a signal before the program's own code runs:
# Wine installs its SIGSEGV handler only at the end of its Unix-side start-up
# (a fault or a stray signal before that kills the Linux process, and ctest
# says "SegFault"; the same death of a child makes CreateProcess fail with
# 1359).  Such a run is started again, at most twice, with one line on stderr
# each time.  That is safe because nothing of the program has run yet: test
# programs create the file named by OV_WINE_RUN_STARTED as the first thing
# their own code does (tests/support/wine_start_marker.cpp), and a run that
# created it is never repeated.  So a crash of the code under test, of its
# static destructors or of Wine after the program started is reported as it
# happened, never retried away.  Only SIGSEGV, SIGBUS and SIGILL are retried;
# a Windows exception ends the process with its code (an access violation
# gives 5) and is never retried.  The trade-off: a shell cannot tell such a
# signal from an exit status of 128+N, so a program that does not create the
# file (none built here) would be retried on its status alone.
set -eu

wine=$1
shift
program=$1

if [ -z "${WINEPREFIX:-}" ]; then
    WINEPREFIX=$(cd "$(dirname "$program")/.." && pwd)/wine-prefix
fi
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
# The prefix needs neither Mono nor Gecko; asking for them would open a
# download dialog.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# wineserver lives beside the loader; /usr/bin/wineserver otherwise.
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=wineserver

persist=60
fresh=20
stamp=$WINEPREFIX/.ov-wine-run.stamp
# Every run starts a few processes of its own; the bookkeeping below uses
# shell builtins only (forks are slow on some virtual machines).
now() {
    read -r uptime _ </proc/uptime
    echo "${uptime%.*}"
}

mkdir -p "$WINEPREFIX"
(
    flock 9
    last=0
    [ ! -s "$stamp" ] || read -r last <"$stamp" || :
    case $last in '' | *[!0-9]*) last=0 ;; esac
    # Exits at once with status 2 when a server already serves the prefix;
    # otherwise forks a server that lives $persist s past its last client.
    # What stays running must not keep the lock (9>&-).
    if "$wineserver" -p$persist </dev/null >/dev/null 2>&1 9>&- ||
        [ $(($(now) - last)) -ge $fresh ]; then
        # Creates or updates the prefix and starts the service processes,
        # all with /dev/null for their streams.
        "$wine" wineboot </dev/null >/dev/null 2>&1 9>&- || true
        # The server wineboot met may have been shutting down; start another.
        if "$wineserver" -p$persist </dev/null >/dev/null 2>&1 9>&-; then
            "$wine" wineboot </dev/null >/dev/null 2>&1 9>&- || true
        fi
        now >"$stamp"
    fi
) 9>"$WINEPREFIX/.ov-wine-run.lock"

# The file the program creates when its own code starts, by its Windows name.
[ -d "$WINEPREFIX/drive_c/ov-wine-run" ] || mkdir -p "$WINEPREFIX/drive_c/ov-wine-run"
started=$WINEPREFIX/drive_c/ov-wine-run/started.$$
OV_WINE_RUN_STARTED="C:\\ov-wine-run\\started.$$"
export OV_WINE_RUN_STARTED

# A shell that sees its child die by a signal prints "Segmentation fault" or
# the like.  So that each retry shows one line and no more, this shell's own
# stderr is /dev/null while the program runs; the program gets the real one.
exec 3>&2 2>/dev/null
attempt=1
while :; do
    [ ! -e "$started" ] || rm -f "$started"
    status=0
    (exec "$wine" "$@" 2>&3 3>&-) || status=$?
    now >"$stamp" || :
    case $status in
        132) signal=ILL ;;
        135) signal=BUS ;;
        139) signal=SEGV ;;
        *) signal= ;;
    esac
    if [ -z "$signal" ] || [ -e "$started" ] || [ $attempt -ge 3 ]; then
        break
    fi
    attempt=$((attempt + 1))
    echo "wine-run.sh: the Wine loader died by SIG$signal before $program started; running it again (attempt $attempt of 3)" >&3
done
exec 2>&3 3>&-
[ ! -e "$started" ] || rm -f "$started"

if [ -n "$signal" ]; then
    # End the way the loader ended, so that ctest reports the signal.
    ulimit -c 0
    trap - "$signal"
    kill -s "$signal" $$
fi
exit "$status"
