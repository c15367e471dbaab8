#!/bin/sh
# wine-run.sh WINE PROGRAM ARGS...: the cross build's emulator.
#
# Runs a Windows program under Wine in a prefix of its own: $WINEPREFIX when
# set, otherwise "wine-prefix" in the build directory (the parent of the
# program's directory).  Wine's server and its service processes inherit the
# standard streams of whoever starts them first; started from inside a test
# they would hold ctest's pipes open and ctest would wait for them forever.
# So before the program runs, the server and the prefix are brought up here,
# detached from every stream, once per server lifetime (a lock keeps
# parallel runs from racing).
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

mkdir -p "$WINEPREFIX"
(
    flock 9
    # Exits at once with status 2 when a server already serves the prefix;
    # otherwise forks a server that lives 60 s past its last client.  What
    # stays running must not keep the lock (9>&-).
    if "$wineserver" -p60 </dev/null >/dev/null 2>&1 9>&-; then
        # Creates or updates the prefix and starts the service processes,
        # all with /dev/null for their streams.
        "$wine" wineboot </dev/null >/dev/null 2>&1 9>&- || true
    fi
) 9>"$WINEPREFIX/.ov-wine-run.lock"

exec "$wine" "$@"
