#!/usr/bin/env bash
# Requests per second the engine's SIP end point answers: OPTIONS from its proxy's address, sent by a
# sipp client on 127.0.0.1 at increasing rates, each rate held for a fixed time (10 s). A rate counts as
# held when sipp completed every request (200 OK) at 95 % of the rate or more with no failed call;
# retransmissions (an answer later than 500 ms, or a request lost) and the CPU use of the engine and of
# sipp (percent of one core) are reported beside it. The first rate not held ends the run, with the
# reason and the rates left untried. Not run by CI.
#
#     bench/sipp_options.sh [RATE ...]          default rates 1000 2000 5000 10000 15000 20000 30000
#     KBR_BENCH_SECONDS=10  KBR_BUILD=build     time per rate, build folder
set -euo pipefail
usage() {
  sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'
}
for arg in "$@"; do
  case $arg in
    -h | --help) usage; exit 0 ;;
    *[!0-9]* | "" | 0) echo "sipp_options.sh: a rate is a positive number of requests per second, not '$arg'" >&2; exit 2 ;;
  esac
done
cd "$(dirname "$0")/.."
build=${KBR_BUILD:-build}
seconds=${KBR_BENCH_SECONDS:-10}
case $seconds in
  *[!0-9]* | "" | 0) echo "sipp_options.sh: KBR_BENCH_SECONDS must be a positive number of seconds" >&2; exit 2 ;;
esac
rates=("$@")
[ ${#rates[@]} -gt 0 ] || rates=(1000 2000 5000 10000 15000 20000 30000)
python=$(command -v python3)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build "$build" -j4 --target bench_options_server > /dev/null

work=$(mktemp -d /tmp/kbr-bench-options-XXXXXX)
server_pid=""
cleanup() {
  # Closing its standard input stops the server; it is killed only when it does not stop.
  exec 3>&- || true
  if [ -n "$server_pid" ]; then
    for _ in $(seq 30); do
      kill -0 "$server_pid" 2> /dev/null || break
      sleep 0.1
    done
    kill "$server_pid" 2> /dev/null || true
    wait "$server_pid" 2> /dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# The sipp client is the engine's proxy: it sends from the port the engine knows as its proxy's.
proxy_port=$("$python" tests/e2e/peers.py ports 1)
"$python" - "$work/uac_options.xml" << 'PY'
import sys
sys.path.insert(0, "tests/e2e")
import peers
peers.render_scenario(peers.scenario_path("uac_options"), {}, sys.argv[1])
PY

# User plus system time of the server, in clock ticks.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$server_pid/stat"; }

mkfifo "$work/server.in"
"$build/bin/bench_options_server" "$proxy_port" 3600 < "$work/server.in" > "$work/server.out" 2>&1 &
server_pid=$!
exec 3> "$work/server.in"
sip_port=""
for _ in $(seq 50); do
  sip_port=$(sed -n 's/^SIP_PORT=//p' "$work/server.out")
  [ -n "$sip_port" ] && break
  sleep 0.1
done
[ -n "$sip_port" ] || { echo "the OPTIONS server did not start"; cat "$work/server.out"; exit 1; }

echo "OPTIONS to the engine at 127.0.0.1:$sip_port from its proxy 127.0.0.1:$proxy_port, ${seconds} s per rate"
printf '%10s %10s %10s %8s %8s %10s %11s %9s  %s\n' target requests answered failed retrans "req/s" "engine cpu%" "sipp cpu%" \
  result
best=0
best_clean=0
for i in "${!rates[@]}"; do
  rate=${rates[$i]}
  calls=$((rate * seconds))
  stats="$work/stats-$rate.csv"
  cpu_before=$(cpu_ticks)
  sipp "127.0.0.1:$sip_port" -sf "$work/uac_options.xml" -t u1 -i 127.0.0.1 -p "$proxy_port" \
    -r "$rate" -rp 1000 -m "$calls" -buff_size 4194304 -nostdin \
    -timeout "$((seconds + 30))s" -timeout_error -trace_stat -stf "$stats" -fd 1 \
    > "$work/sipp-$rate.out" 2>&1 &
  sipp_pid=$!
  # sipp's own CPU use, sampled while it runs: it shows which side of the loopback is the limit.
  sipp_ticks=0
  while kill -0 "$sipp_pid" 2> /dev/null; do
    t=$(awk '{ print $14 + $15 }' "/proc/$sipp_pid/stat" 2> /dev/null || true)
    [ -n "$t" ] && sipp_ticks=$t
    sleep 0.2
  done
  wait "$sipp_pid" || true
  if [ ! -s "$stats" ]; then
    printf '%10s  sipp produced no statistics:\n' "$rate"
    tail -5 "$work/sipp-$rate.out"
    break
  fi
  read -r ok failed retrans elapsed < <("$python" - "$stats" << 'PY'
import sys
rows = [l.rstrip(";\n").split(";") for l in open(sys.argv[1]) if l.strip()]
col = dict(zip(rows[0], rows[-1]))
# StartTime and CurrentTime end with the epoch time in seconds.
elapsed = float(col["CurrentTime"].split()[-1]) - float(col["StartTime"].split()[-1])
print(col["SuccessfulCall(C)"], col["FailedCall(C)"], col["Retransmissions(C)"], "%.3f" % elapsed)
PY
  )
  cpu=$(awk -v a="$cpu_before" -v b="$(cpu_ticks)" -v t="$elapsed" -v hz="$(getconf CLK_TCK)" \
    'BEGIN { printf "%.0f", (t > 0 ? 100 * (b - a) / hz / t : 0) }')
  sipp_cpu=$(awk -v b="$sipp_ticks" -v t="$elapsed" -v hz="$(getconf CLK_TCK)" \
    'BEGIN { printf "%.0f", (t > 0 ? 100 * b / hz / t : 0) }')
  achieved=$(awk -v n="$ok" -v t="$elapsed" 'BEGIN { printf "%.0f", (t > 0 ? n / t : 0) }')
  result=held
  why=()
  [ "$failed" -eq 0 ] || why+=("$failed requests failed")
  [ "$ok" -eq "$calls" ] || why+=("$ok of $calls requests answered")
  [ "$achieved" -ge $((rate * 95 / 100)) ] || why+=("$achieved answered per second, below 95 % of $rate")
  if [ ${#why[@]} -gt 0 ]; then
    result="not held"
  else
    best=$achieved
    [ "$retrans" -eq 0 ] && best_clean=$achieved
  fi
  printf '%10s %10s %10s %8s %8s %10s %11s %9s  %s\n' "$rate" "$calls" "$ok" "$failed" "$retrans" "$achieved" "$cpu" \
    "$sipp_cpu" "$result"
  if [ "$result" != held ]; then
    reasons=$(printf '%s; ' "${why[@]}")
    echo "stopped at $rate requests/s, the first rate not held: ${reasons%; }"
    rest=("${rates[@]:i+1}")
    [ ${#rest[@]} -eq 0 ] || echo "not tried: ${rest[*]}"
    break
  fi
done
if kill -0 "$server_pid" 2> /dev/null; then
  echo "the engine kept serving"
else
  echo "the OPTIONS server died:"
  cat "$work/server.out"
  exit 1
fi
echo "highest rate held for ${seconds} s with no failure: $best requests/s"
echo "highest rate held for ${seconds} s with no failure and no retransmission: $best_clean requests/s"
