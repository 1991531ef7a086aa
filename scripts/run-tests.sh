#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the unit, Java and end-to-end
# tests in a Release build, the unit tests again under ASan/UBSan and the threaded ones under TSan,
# and each fuzz target briefly (side by side). The later stages' trees build in the background
# while the release tests run. Ends with one line per stage (tests passed and failed, time with
# the stage's build, and the build's share) and a total, and names every test that passed only on
# its second run. The TSan stage keeps its programs' output in build-tsan/tsan-PROGRAM.log and
# prints the failures.
#
#     scripts/run-tests.sh              KBR_FUZZ_SECONDS=20   seconds per fuzz target (0 skips them)
set -euo pipefail
case ${1:-} in
  -h | --help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  "") ;;
  *) echo "run-tests.sh: takes no arguments (-h for help)" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${KBR_FUZZ_SECONDS:-20}
case $fuzz_seconds in
  *[!0-9]* | "") echo "run-tests.sh: KBR_FUZZ_SECONDS must be a number of seconds, not '$fuzz_seconds'" >&2; exit 2 ;;
esac

run_start=$SECONDS
scripts/install-deps.sh

summary=()
failed_stages=0
total_passed=0
total_failed=0

# The summary's second line of a stage: its time from the start of its build, the build's share,
# then the programs or tests that passed only on their second run and those that failed twice.
stage_line() {
  local start=$1 built=$2 second=$3 twice=$4
  local line="    $((SECONDS - start)) s with its build of $((built - start)) s"
  [ -z "$second" ] || line+="; passed on the second run: $second"
  [ -z "$twice" ] || line+="; failed twice: $twice"
  summary+=("$line")
}

# Runs one CTest stage whose build began at $stage_start. A test that fails runs once more on its
# own; one that passes then is named in the summary as needing a second run, one that fails twice
# fails the stage.
run_ctest() {
  local stage=$1 dir=$2
  shift 2
  local built=$SECONDS log="$dir/stage.log" rc=0
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 300 "$@" 2>&1 | tee "$log" || rc=$?
  local total passed failed retried="" still=""
  total=$(sed -n 's/.* tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -1)
  total=${total:-0}
  if [ "$rc" -ne 0 ] && [ -s "$dir/Testing/Temporary/LastTestsFailed.log" ]; then
    retried=$(cut -d: -f2 "$dir/Testing/Temporary/LastTestsFailed.log" | paste -sd' ')
    echo "-- $stage: once more: $retried"
    if ctest --test-dir "$dir" --output-on-failure --timeout 300 --rerun-failed "$@" 2>&1 | tee "$log.again"; then
      rc=0
    else
      still=$(cut -d: -f2 "$dir/Testing/Temporary/LastTestsFailed.log" | paste -sd' ')
    fi
  fi
  failed=$(wc -w <<<"$still")
  passed=$((total - failed))
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  summary+=("$stage: $passed passed, $failed failed")
  local second=""
  [ -z "$retried" ] ||
    second=$(comm -23 <(tr ' ' '\n' <<<"$retried" | sort) <(tr ' ' '\n' <<<"$still" | sort) | paste -sd' ')
  stage_line "$stage_start" "$built" "$second" "$still"
  [ "$rc" -eq 0 ] || failed_stages=$((failed_stages + 1))
}

# The threaded unit tests that also run under TSan. The end-to-end and JVM-hosted tests stay out.
tsan_tests=(
  kmt_tests
  media_tests
  rtp_tests
  phone_tests
  sipdialog_tests
  platform_tests
  sipcall_tests
)

# Configures and builds one tree: FOLDER, then "--", the configure options, "--", the build
# options. Its output goes to FOLDER/build.log; FOLDER/build.done gets the exit status and the
# build's seconds once it has ended.
build_tree() {
  local dir=$1 configure=() build=() rc=0 start
  shift
  [ "${1:-}" = -- ] && shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do configure+=("$1"); shift; done
  [ "${1:-}" = -- ] && shift
  build=("$@")
  start=$(date +%s)
  mkdir -p "$dir"
  rm -f "$dir/build.done"
  { cmake -S . -B "$dir" "${configure[@]}" && cmake --build "$dir" -j"$jobs" "${build[@]}"; } > "$dir/build.log" 2>&1 || rc=$?
  echo "$rc $(($(date +%s) - start))" > "$dir/build.done"
}

# Waits for a tree built in the background; sets build_seconds. A failed build shows the end of
# its output and ends the run, as a failed build in the foreground does.
wait_tree() {
  local dir=$1 rc
  while [ ! -s "$dir/build.done" ]; do
    kill -0 "$background" 2>/dev/null || break
    sleep 1
  done
  read -r rc build_seconds < "$dir/build.done" 2>/dev/null || { rc=1; build_seconds=0; }
  if [ "$rc" -ne 0 ]; then
    tail -n 60 "$dir/build.log"
    echo "run-tests.sh: the build in $dir failed (exit $rc); its output is in $dir/build.log" >&2
    exit 1
  fi
}

echo "== release build"
stage_start=$SECONDS
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build build -j"$jobs"

# The later stages' trees build in the background while the release tests run, which mostly wait
# on peers and protocol timers: at a low priority, so that the tests keep the machine first, and
# back at the normal one once those tests have ended (where the run may raise it: as root). In a
# process group of their own, which goes when the run ends early.
set -m
(
  renice -n 10 "$BASHPID" > /dev/null 2>&1 || true
  build_tree build-asan -- -DCMAKE_BUILD_TYPE=Debug -DKBR_SANITIZE=ON -DKBR_BENCH=OFF
  build_tree build-tsan -- -DCMAKE_BUILD_TYPE=Debug -DKBR_TSAN=ON -DKBR_BENCH=OFF -- --target "${tsan_tests[@]}"
  if [ "$fuzz_seconds" -gt 0 ]; then
    CC=clang CXX=clang++ build_tree build-fuzz -- -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKBR_FUZZ=ON \
      -DKBR_TESTS=OFF -DKBR_BENCH=OFF
  fi
) &
background=$!
set +m
trap 'kill -- -"$background" 2>/dev/null || true' EXIT

run_ctest release build
renice -n 0 -g "$background" > /dev/null 2>&1 || true

echo "== sanitizer build (ASan + UBSan), built beside the release tests"
wait_tree build-asan
stage_start=$((SECONDS - build_seconds))
# The leak checker's tracer can crash at process exit while a finished detached thread is still
# being torn down (a sanitizer runtime fault, not ours): such a test shows up as passed on its second run.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest sanitizer build-asan -LE nosanitize

echo "== thread sanitizer build (TSan) of the unit tests that run threads"
# Each program's output goes to build-tsan/tsan-PROGRAM.log; a failure prints its failed tests and
# the sanitizer's reports.
wait_tree build-tsan
stage_start=$((SECONDS - build_seconds))
built=$SECONDS
tsan_options="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp"
# Runs one program under TSan into its log; on a failure prints what failed from it.
run_tsan() {
  local t=$1 log=$2 rc=0
  TSAN_OPTIONS=$tsan_options "build-tsan/bin/$t" --gtest_brief=1 > "$log" 2>&1 || rc=$?
  if [ "$rc" -ne 0 ]; then
    echo "-- $t failed (exit $rc); its output is in $log:"
    grep -E '^\[  FAILED  \]|Failure$|^WARNING: ThreadSanitizer|^SUMMARY: ThreadSanitizer' "$log" | head -40 || true
    # The first report in full: the two stacks and where the memory and the threads came from.
    sed -n '/^WARNING: ThreadSanitizer/,/^SUMMARY: ThreadSanitizer/p' "$log" | head -80
  fi
  return "$rc"
}
# As in the other stages, a failing program gets one more run; a race reported twice fails CI.
tsan_passed=0
tsan_retried=""
tsan_failed=""
for t in "${tsan_tests[@]}"; do
  program_start=$SECONDS
  if run_tsan "$t" "build-tsan/tsan-$t.log"; then
    tsan_passed=$((tsan_passed + 1))
  elif echo "-- $t: one more run" && run_tsan "$t" "build-tsan/tsan-$t.again.log"; then
    tsan_passed=$((tsan_passed + 1))
    tsan_retried+=" $t"
  else
    tsan_failed+=" $t"
  fi
  echo "-- $t: $((SECONDS - program_start)) s"
done
total_passed=$((total_passed + tsan_passed))
total_failed=$((total_failed + $(wc -w <<<"$tsan_failed")))
summary+=("tsan: $tsan_passed passed, $(wc -w <<<"$tsan_failed") failed (test programs)")
stage_line "$stage_start" "$built" "${tsan_retried# }" "${tsan_failed# }"
[ -z "$tsan_failed" ] || failed_stages=$((failed_stages + 1))

if [ "$fuzz_seconds" -gt 0 ]; then
  echo "== fuzz targets (${fuzz_seconds}s each, $jobs at a time)"
  wait_tree build-fuzz
  stage_start=$((SECONDS - build_seconds))
  built=$SECONDS
  shopt -s nullglob
  fuzz_passed=0
  fuzz_failed=0
  # Each target runs for its time whatever else runs, so they run side by side; each one's output
  # goes to its own log and its exit status beside it, reported in order once all have ended.
  fuzz_work=$(mktemp -d)
  targets=(build-fuzz/bin/fuzz_*)
  for target in "${targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
    name=${target##*/fuzz_}
    seeds=()
    [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
    mkdir "$fuzz_work/$name"
    (
      rc=0
      "$target" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -close_fd_mask=1 "$fuzz_work/$name" "${seeds[@]}" > "$fuzz_work/$name.log" 2>&1 || rc=$?
      echo "$rc" > "$fuzz_work/$name.rc"
    ) &
  done
  wait
  for target in "${targets[@]}"; do
    name=${target##*/fuzz_}
    echo "-- $name"
    grep -E 'stat::number_of_executed_units|ERROR|SUMMARY' "$fuzz_work/$name.log" || true
    if [ "$(cat "$fuzz_work/$name.rc" 2>/dev/null)" = 0 ]; then
      fuzz_passed=$((fuzz_passed + 1))
    else
      fuzz_failed=$((fuzz_failed + 1))
      tail -40 "$fuzz_work/$name.log"
    fi
  done
  rm -rf "$fuzz_work"
  total_passed=$((total_passed + fuzz_passed))
  total_failed=$((total_failed + fuzz_failed))
  summary+=("fuzz: $fuzz_passed passed, $fuzz_failed failed (${fuzz_seconds} s per target)")
  stage_line "$stage_start" "$built" "" ""
  [ "$fuzz_failed" -eq 0 ] || failed_stages=$((failed_stages + 1))
fi

echo "== summary"
printf '%s\n' "${summary[@]}"
if [ "$failed_stages" -ne 0 ]; then
  echo "$failed_stages stage(s) failed"
else
  echo "all test stages passed"
fi
elapsed=$((SECONDS - run_start))
echo "total: $total_passed passed, $total_failed failed; $elapsed s ($((elapsed / 60)) min $((elapsed % 60)) s) with the installation check and every build"
[ "$failed_stages" -eq 0 ]
