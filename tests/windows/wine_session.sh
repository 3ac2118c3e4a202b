#!/usr/bin/env bash
# A Windows module under Wine: winhost.exe loads it as the host would and drives the virtual
# deck through a COM port that the test's own Wine prefix maps to the deck's pseudo-terminal.
# usage: wine_session.sh WINHOST.exe MODULE.dll DECKSIM WORKDIR [x64|x86]
# (serial_win32_check.exe, beside WINHOST.exe, checks the serial layer on the same line;
# ../examples/minimal_host.exe, the sample host, runs against a deck of its own.)
# x86 runs under 32-bit Wine in a win32 prefix, as the host runs. Exit 77 (skipped) only when
# Wine or the cross compiler is not installed, or the kernel cannot run 32-bit programs.
set -u
winhost=$1 dll=$2 decksim=$3 work=$4 arch=${5:-x64}
port=12    # above 9 on purpose: such ports are reachable only as \\.\COMn
absent=13  # mapped to nothing

if [ "$arch" = x86 ]; then
    winearch=win32 cross=i686-w64-mingw32-g++-posix
    wine=/usr/lib/wine/wine
    [ -x "$wine" ] || wine=$(command -v wine || true)
    # ELF class byte 1: a 32-bit loader, which only wine32:i386 provides.
    if [ -z "$wine" ] || [ "$(od -An -tx1 -j4 -N1 "$wine" 2>/dev/null | tr -d ' ')" != 01 ]; then
        echo "SKIP: 32-bit Wine is not installed (wine32:i386; scripts/install-deps windows" \
             "says why); the 32-bit module is still run by the i686 suite, on Linux"
        exit 77
    fi
    version=$("$wine" --version 2>&1)
    rc=$?
    if [ $rc -ne 0 ]; then
        if [ $rc -eq 126 ] || grep -qi 'exec format error' <<<"$version"; then
            echo "SKIP: this kernel cannot execute 32-bit programs ($version); the 32-bit" \
                 "module is still run by the i686 suite, under qemu-i386"
            exit 77
        fi
        echo "FAIL: $wine --version: $version"
        exit 1
    fi
else
    winearch=win64 cross=x86_64-w64-mingw32-g++-posix
    wine=$(command -v wine64 || true)
    [ -n "$wine" ] || { [ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64; }
    [ -n "$wine" ] || wine=$(command -v wine || true)
    if [ -z "$wine" ]; then
        echo "SKIP: Wine is not installed (scripts/install-deps windows)"
        exit 77
    fi
fi
if ! command -v "$cross" >/dev/null; then
    echo "SKIP: the MinGW-w64 $arch cross compiler is not installed (scripts/install-deps windows)"
    exit 77
fi
for f in "$winhost" "$dll" "$decksim"; do
    [ -f "$f" ] || { echo "FAIL: $f is missing (run \`make windows\` and build decksim)"; exit 1; }
done
wineserver=$(dirname "$(readlink -f "$wine")")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo true)

mkdir -p "$work"
work=$(cd "$work" && pwd)  # Wine takes only an absolute prefix
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=$winearch
deck_pid=
cleanup() {
    if [ -n "$deck_pid" ]; then
        kill -CONT "$deck_pid" 2>/dev/null
        kill "$deck_pid" 2>/dev/null
        wait "$deck_pid" 2>/dev/null
    fi
    "$wineserver" -k >/dev/null 2>&1
    rm -f "$WINEPREFIX/dosdevices/com$port"
}
trap cleanup EXIT

# The prefix is made once per build tree; later runs reuse it.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "making the Wine prefix $WINEPREFIX"
    if ! "$wine" wineboot -i >"$work/wineboot.log" 2>&1; then
        cat "$work/wineboot.log"; echo "FAIL: wineboot"; exit 1
    fi
    "$wineserver" -w
fi

# A link left by an earlier run would pass for the new deck's before decksim replaces it.
rm -f "$work/deck"
"$decksim" --link "$work/deck" --control "$work/control" >"$work/decksim.out" 2>"$work/decksim.err" &
deck_pid=$!
for _ in $(seq 50); do
    [ -s "$work/decksim.out" ] && [ -e "$work/deck" ] && break
    sleep 0.1
done
if [ ! -e "$work/deck" ]; then
    cat "$work/decksim.err"; echo "FAIL: decksim did not come up"; exit 1
fi
echo "decksim on $(head -n1 "$work/decksim.out") as COM$port"
ln -sfn "$work/deck" "$WINEPREFIX/dosdevices/com$port"
rm -f "$WINEPREFIX/dosdevices/com$absent"

# Wine paths: the unix root is drive Z:.
win_dll="Z:${dll//\//\\}"
run() {
    local name=$1
    shift
    local t0=$(date +%s%N)
    "$wine" "$@" >"$work/$name.out" 2>&1
    local rc=$?
    cat "$work/$name.out"
    echo "     ($name: $(( ($(date +%s%N) - t0) / 1000000 )) ms under Wine, start-up included)"
    return $rc
}

status=0
echo "--- a session with a live deck"
run session "$winhost" "$win_dll" "$port" session || status=1
echo "--- the serial layer on its own"
run serial "$(dirname "$winhost")/serial_win32_check.exe" "$port" "$absent" || status=1
# The sample host of examples/, built by the same preset, against a deck of its own.
sample=$(dirname "$winhost")/../examples/minimal_host.exe
echo "--- the sample host (examples/minimal_host.c)"
"$(dirname "$0")/../examples/run_sample.sh" "$sample" "$dll" "$decksim" "$work/sample" \
    "$wine" "$WINEPREFIX" 14 || status=1
# A stopped process still holds the pty open but answers nothing: a deck gone silent.
kill -STOP "$deck_pid"
echo "--- a deck that answers nothing"
run silent "$winhost" "$win_dll" "$port" silent || status=1
kill -CONT "$deck_pid"
# Faults set through the deck's control socket; each connect must fail within its time-outs.
deck_ctl() {
    python3 "$(dirname "$0")/../support/deckrig.py" control "$work/control" "$1"
}
echo "--- a deck whose replies come one byte short"
deck_ctl "fault short" >/dev/null || status=1
run short "$winhost" "$win_dll" "$port" silent || status=1
deck_ctl "fault none" >/dev/null || status=1
echo "--- a line hung up (the deck's side closed for longer than Wine takes to start)"
deck_ctl "fault hangup 15000" >/dev/null || status=1
sleep 0.2
run hangup "$winhost" "$win_dll" "$port" silent || status=1
exit $status
