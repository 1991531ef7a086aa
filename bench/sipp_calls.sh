#!/usr/bin/env bash
# Calls per second the engine takes as the called party, with the Java side answering every call
# (tools/callbench CallAnswerer), and the engine's threads and memory before and after 1000 calls.
# sipp (uac_call) places the calls through kamailio on 127.0.0.1: INVITE (407 answered), 200, ACK, BYE.
# Not run by CI.
#
#   bench/sipp_calls.sh [BUILD_DIR] [RATES]     default: build, "20 50 100" calls per second
#
# Needs the built kbrjphone (cmake --build BUILD_DIR --target kbrjphone), java 17, sipp, kamailio.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
rates=${2:-"20 50 100"}
java_home=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}
peers=$root/tests/e2e/peers.py
work=$(mktemp -d "${TMPDIR:-/tmp}/kbr-callbench.XXXXXX")
echo "work folder: $work"

pids=()
cleanup() {
    exec 3>&- 4>&- 2>/dev/null || true
    for p in "${pids[@]}"; do
        kill "$p" 2>/dev/null || true
    done
    wait 2>/dev/null || true
}
trap cleanup EXIT

# Waits until the file has a line KEY=...; prints the value.
await_value() {
    local file=$1 key=$2 i
    for i in $(seq 1 200); do
        if grep -q "^$key=" "$file" 2>/dev/null; then
            grep "^$key=" "$file" | tail -1 | cut -d= -f2-
            return 0
        fi
        sleep 0.1
    done
    echo "no $key in $file" >&2
    return 1
}

mkdir -p "$work/classes"
"$java_home/bin/javac" -Xlint:all -Werror -d "$work/classes" \
    "$root/tools/callbench/nl/brimel/kbr/callbench/CallAnswerer.java" \
    "$root/tests/java/nl/brimel/kbr/phone/jni/JPhone.java"

# kamailio, stopped when its standard input (fd 3) closes.
mkfifo "$work/kamailio.in"
python3 "$peers" kamailio --workdir "$work" --max-seconds 900 <"$work/kamailio.in" >"$work/kamailio.out" &
pids+=($!)
exec 3>"$work/kamailio.in"
await_value "$work/kamailio.out" KAMAILIO_PORT >/dev/null
kport=$(await_value "$work/kamailio.out" KAMAILIO_PORT)
grep -q '^READY' "$work/kamailio.out" || sleep 1

# The engine in a JVM, answering; every line on fd 4 makes it print its counts.
mkfifo "$work/answerer.in"
"$java_home/bin/java" -Djava.library.path="$build/lib" -cp "$work/classes" nl.brimel.kbr.callbench.CallAnswerer \
    "$kport" <"$work/answerer.in" >"$work/answerer.out" 2>&1 &
pids+=($!)
exec 4>"$work/answerer.in"
await_value "$work/answerer.out" PID >/dev/null
jpid=$(await_value "$work/answerer.out" PID)

status() {
    local threads rss
    threads=$(awk '/^Threads:/ {print $2}' "/proc/$jpid/status")
    rss=$(awk '/^VmRSS:/ {print $2 " " $3}' "/proc/$jpid/status")
    echo "$1: threads $threads, VmRSS $rss"
    echo "    threads by name: $(cat /proc/"$jpid"/task/*/comm | sort | uniq -c | awk '{$1=$1; print}' | paste -sd, -)"
}

# Waits (up to 60 s: a call the far end gave up on ends at the engine's own timeouts) until the answerer
# has seen every answered line end.
quiesce() {
    local i line
    for i in $(seq 1 300); do
        echo >&4
        sleep 0.2
        line=$(grep '^ANSWERED=' "$work/answerer.out" | tail -1)
        local a e
        a=$(sed -n 's/^ANSWERED=\([0-9]*\) ENDED=\([0-9]*\).*/\1/p' <<<"$line")
        e=$(sed -n 's/^ANSWERED=\([0-9]*\) ENDED=\([0-9]*\).*/\2/p' <<<"$line")
        if [ -n "$a" ] && [ "$a" = "$e" ]; then
            echo "answerer: $line"
            return 0
        fi
    done
    echo "answerer: lines still open: $line"
}

# One sipp run: calls at a rate; prints "ok failed seconds".
run_calls() {
    local rate=$1 calls=$2 name=$3 t0 t1 out
    out="$work/sipp-$name.out"
    t0=$(date +%s.%N)
    # The scenario goes after "--" with sipp's own options: argparse takes both as positionals there.
    python3 "$peers" sipp --role client --remote "127.0.0.1:$kport" --service 1001 \
        --auth-user 1002 --auth-password secret2 --param talk_ms=10 --calls "$calls" --timeout 120 \
        --workdir "$work/$name" -- uac_call -r "$rate" -l 1000 >"$out" 2>&1 || true
    t1=$(date +%s.%N)
    local ok failed
    ok=$(grep '^SIPP_CALLS_OK=' "$out" | cut -d= -f2)
    failed=$(grep '^SIPP_CALLS_FAILED=' "$out" | cut -d= -f2)
    echo "${ok:-0} ${failed:-?} $(echo "$t1 - $t0" | bc -l)"
}

echo "engine: java pid $jpid, registered 1001 at kamailio 127.0.0.1:$kport"
quiesce >/dev/null
status "before 1000 calls"
read -r ok failed secs < <(run_calls 50 1000 warm)
quiesce
status "after 1000 calls ($ok ok, $failed failed, $(printf %.1f "$secs") s at 50 calls/s)"

for rate in $rates; do
    calls=$((rate * 10))
    read -r ok failed secs < <(run_calls "$rate" "$calls" "rate$rate")
    verdict="no failed call"
    [ "$failed" = "0" ] && [ "$ok" = "$calls" ] || verdict="FAILED CALLS"
    printf 'rate %4d calls/s offered for 10 s: %d ok, %s failed in %.1f s = %.1f calls/s achieved (%s)\n' \
        "$rate" "$ok" "$failed" "$secs" "$(echo "$ok / $secs" | bc -l)" "$verdict"
    quiesce
done
status "at the end"
