#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the unit, Java and end-to-end
# tests in a Release build, the unit tests again under ASan/UBSan and the threaded ones under TSan,
# and each fuzz target briefly.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${KBR_FUZZ_SECONDS:-20}

scripts/install-deps.sh

echo "== release build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build build -j"$jobs"
# A failed test runs once more before the stage fails; a test that fails twice fails the stage.
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 300 --repeat until-pass:2

echo "== sanitizer build (ASan + UBSan)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKBR_SANITIZE=ON -DKBR_BENCH=OFF > /dev/null
cmake --build build-asan -j"$jobs"
# The leak checker's tracer can crash at process exit while a finished detached thread is still
# being torn down (a sanitizer runtime fault, not ours): a test gets one more run for that.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 300 -LE nosanitize --repeat until-pass:2

echo "== thread sanitizer build (TSan) of the unit tests that run threads"
# The end-to-end and JVM-hosted tests stay out; so do sipcall_tests, which count the process's
# threads (the sanitizer adds one of its own), and platform_tests, whose raw threads are only
# ordered by the eventfd behind WaitForSingleObject, which the sanitizer cannot see.
tsan_tests=(kmt_tests media_tests rtp_tests phone_tests sipdialog_tests)
tsan_options="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DKBR_TSAN=ON -DKBR_BENCH=OFF > /dev/null
cmake --build build-tsan -j"$jobs" --target "${tsan_tests[@]}"
# As in the other stages, a failing program gets one more run; a race reported twice fails CI.
for t in "${tsan_tests[@]}"; do
  echo "-- $t"
  TSAN_OPTIONS=$tsan_options "build-tsan/bin/$t" --gtest_brief=1 ||
    { echo "-- $t failed, one more run"; TSAN_OPTIONS=$tsan_options "build-tsan/bin/$t" --gtest_brief=1; }
done

echo "== fuzz targets (${fuzz_seconds}s each)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKBR_FUZZ=ON \
  -DKBR_TESTS=OFF -DKBR_BENCH=OFF > /dev/null
cmake --build build-fuzz -j"$jobs"
shopt -s nullglob
for target in build-fuzz/bin/fuzz_*; do
  name=${target##*/fuzz_}
  work=$(mktemp -d)
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  echo "-- $name"
  "$target" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -close_fd_mask=1 \
    "$work" "${seeds[@]}" 2>&1 | grep -E 'stat::number_of_executed_units|ERROR|SUMMARY' || true
  test "${PIPESTATUS[0]}" -eq 0
  rm -rf "$work"
done
echo "all test stages passed"
