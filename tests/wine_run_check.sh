#!/bin/sh
# wine_run_check.sh WINE_RUN: checks that cmake/wine-run.sh runs a program
# again when the Wine loader died by a signal before the program started, and
# only then.  A stand-in loader plays one scripted outcome per start:
#   segv-before  dies by SIGSEGV before the program's code runs
#   segv-after   the program starts (creates its start file), then SIGSEGV
#   exit5-before exits with 5, as Wine does after an access violation
#   ok           the program starts and exits 0
set -u
run=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/bin"

cat >"$dir/bin/wine" <<'EOF'
#!/bin/sh
[ "$1" = wineboot ] && exit 0
plan=$WINEPREFIX/plan
step=$(head -n 1 "$plan")
sed -i 1d "$plan"
started=$WINEPREFIX/drive_c/$(printf '%s' "${OV_WINE_RUN_STARTED#C:\\}" | tr '\\' /)
ulimit -c 0
case $step in
    segv-before) kill -s SEGV $$ ;;
    segv-after) : >"$started"; kill -s SEGV $$ ;;
    exit5-before) exit 5 ;;
    ok) : >"$started"; echo ran; exit 0 ;;
esac
exit 99
EOF
printf '#!/bin/sh\nexit 2\n' >"$dir/bin/wineserver"
chmod +x "$dir/bin/wine" "$dir/bin/wineserver"

failures=0
# check NAME PLAN EXPECTED_STATUS EXPECTED_RETRY_LINES EXPECTED_STEPS_LEFT
check() {
    WINEPREFIX=$dir/prefix
    mkdir -p "$WINEPREFIX"
    printf '%s\n' $2 >"$WINEPREFIX/plan"
    status=0
    WINEPREFIX=$WINEPREFIX sh "$run" "$dir/bin/wine" "$dir/program.exe" \
        >"$dir/out" 2>"$dir/err" || status=$?
    retries=$(grep -c 'running it again' "$dir/err")
    left=$(wc -l <"$WINEPREFIX/plan")
    if [ "$status" -ne "$3" ] || [ "$retries" -ne "$4" ] || [ "$left" -ne "$5" ]; then
        echo "FAIL $1: status $status (want $3), $retries retries (want $4), $left starts left (want $5)"
        sed 's/^/    stderr: /' "$dir/err"
        failures=$((failures + 1))
    else
        echo "ok   $1"
    fi
    rm -rf "$WINEPREFIX"
}

check "a loader that died before the program started is run again" "segv-before ok" 0 1 0
check "at most three starts" "segv-before segv-before segv-before ok" 139 2 1
check "a crash after the program started is not retried" "segv-after ok" 139 0 1
check "a Windows exit status is not retried" "exit5-before ok" 5 0 1
[ "$failures" -eq 0 ]
