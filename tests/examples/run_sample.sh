#!/usr/bin/env bash
# Runs examples/minimal_host against a virtual deck of its own and checks every printed result.
# usage: run_sample.sh SAMPLE MODULE DECKSIM WORKDIR [WINE WINEPREFIX COMPORT]
#   Linux:   the sample reaches the deck as port 1, through TAPEDECK_COM1.
#   Windows: SAMPLE.exe and MODULE.dll run under the given WINE (32-bit for the x86 build) in an
#            existing WINEPREFIX, whose COM<COMPORT> is pointed at the deck for the run.
set -u
if [ $# -ne 4 ] && [ $# -ne 7 ]; then
    echo "usage: $0 SAMPLE MODULE DECKSIM WORKDIR [WINE WINEPREFIX COMPORT]" >&2
    exit 2
fi
sample=$1 module=$2 decksim=$3 work=$4 wine=${5:-} prefix=${6:-} comport=${7:-}
# An emulator for a sample the kernel cannot run itself (the 32-bit build under qemu-i386).
runner=${TAPEDECK_RUNNER:-}
for f in "$sample" "$module" "$decksim"; do
    [ -f "$f" ] || { echo "FAIL: $f is missing"; exit 1; }
done

mkdir -p "$work"
rm -f "$work/deck"
"$decksim" --link "$work/deck" >"$work/decksim.out" 2>"$work/decksim.err" &
deck_pid=$!
link=
cleanup() {
    kill "$deck_pid" 2>/dev/null
    wait "$deck_pid" 2>/dev/null
    [ -z "$link" ] || rm -f "$link"
}
trap cleanup EXIT
for _ in $(seq 50); do
    [ -e "$work/deck" ] && break
    sleep 0.1
done
[ -e "$work/deck" ] || { cat "$work/decksim.err"; echo "FAIL: decksim did not come up"; exit 1; }

if [ -z "$wine" ]; then
    port=1
    TAPEDECK_COM1=$work/deck $runner "$sample" "$module" $port >"$work/sample.out" 2>&1
    rc=$?
else
    port=$comport
    link=$prefix/dosdevices/com$port
    ln -sfn "$work/deck" "$link"
    # Wine paths: the unix root is drive Z:.
    WINEPREFIX=$prefix WINEDEBUG=-all "$wine" "$sample" "Z:${module//\//\\}" $port \
        >"$work/sample.out" 2>&1
    rc=$?
fi
tr -d '\r' <"$work/sample.out" >"$work/sample.txt"
cat "$work/sample.txt"

status=0
expect() {
    grep -Eqx "$1" "$work/sample.txt" || { echo "FAIL: no line matching: $1"; status=1; }
}
expect 'identify: result 0, name "Tapedeck 5500", flag 1'
expect "connect: port $port, result 1, connected yes"
expect 'play: result 1, state 5'
expect 'poll: [0-9]+ calls, result 1, state 1, pending 0x0'
expect 'cue: result 1, state 2'
expect 'cue wait: [0-9]+ asks, done yes'
expect 'position after cue: result 1, 1500 frames, 00:01:00:00'
expect 'disconnect: result 1, connected no'
# About a second of play at 25 frames a second, and the timecode of that count.
pos=$(sed -nE 's/^position: result 1, ([0-9]+) frames, ([0-9:]+)$/\1 \2/p' "$work/sample.txt")
read -r frames tc <<<"${pos:-x x}"
if [[ ! $frames =~ ^[0-9]+$ ]] || ((frames < 20 || frames > 250)); then
    echo "FAIL: the position should be about a second of play, not '$frames'"
    status=1
else
    want=$(printf '%02d:%02d:%02d:%02d' $((frames / 90000)) $((frames / 1500 % 60)) \
        $((frames / 25 % 60)) $((frames % 25)))
    [ "$tc" = "$want" ] || { echo "FAIL: $frames frames shown as $tc, not $want"; status=1; }
fi
[ $rc -eq 0 ] || { echo "FAIL: the sample exited with $rc"; status=1; }
exit $status
