#!/usr/bin/env bash
# Checks the main job's command line without running the job: -h/--help print the usage and exit 0;
# a bad option gives exactly one line on standard error, nothing else, and exit 2. The script is checked
# before it installs or builds anything, the Java program before it loads the engine; so is the JDK
# that KBR_JAVA_HOME names.
# usage: options_test.sh SOURCE_DIR JAVA_HOME CLASSES_DIR
set -uo pipefail
src=$1 java_home=$2 classes=$3
failed=0
case_failed=0
fail() { echo "FAIL: $*"; case_failed=1; }

# One case: the command, its arguments (one string, split on blanks), the exit code, and the text the
# output must hold (standard output for exit 0, the single error line otherwise).
check() {
  local what=$1 args=$2 want_rc=$3 want_text=$4
  shift 4
  local out err rc
  case_failed=0
  out=$(mktemp) err=$(mktemp)
  # shellcheck disable=SC2086
  timeout 20 "$@" $args >"$out" 2>"$err"
  rc=$?
  if [ "$rc" -ne "$want_rc" ]; then
    fail "$what $args: exit $rc, wanted $want_rc; stdout: $(head -3 "$out") stderr: $(head -3 "$err")"
  elif [ "$want_rc" -eq 0 ]; then
    grep -qF -- "$want_text" "$out" || fail "$what $args: usage without '$want_text': $(head -3 "$out")"
    [ -s "$err" ] && fail "$what $args: wrote to standard error: $(head -3 "$err")"
  else
    [ -s "$out" ] && fail "$what $args: wrote to standard output: $(head -3 "$out")"
    [ "$(wc -l <"$err")" -eq 1 ] || fail "$what $args: wanted one error line, got: $(cat "$err")"
    grep -qF -- "$want_text" "$err" || fail "$what $args: error line without '$want_text': $(cat "$err")"
    grep -q "Exception\|at nl\.brimel" "$err" && fail "$what $args: a stack trace: $(cat "$err")"
  fi
  rm -f "$out" "$err"
  failed=$((failed + case_failed))
  return 0
}

cases=(
  # arguments                    exit  text
  "-h|0|--stay SECONDS"
  "--help|0|--password PASSWORD"
  "--stay 1 --help|0|usage:"
  "--stay abc|2|--stay takes a number of seconds from 0 to 3600, not abc"
  "--stay -1|2|not -1"
  "--stay 1e3|2|not 1e3"
  "--stay NaN|2|not NaN"
  "--stay Infinity|2|not Infinity"
  "--stay 3600.5|2|not 3600.5"
  "--stay 99999999999999999999|2|not 99999999999999999999"
  "--stay|2|--stay needs a value"
  "--user 1002 --password|2|--password needs a value"
  "--verbose|2|unknown option --verbose"
  "extra|2|unknown option extra"
)

# The script; an option it let through would start installing and building, which the timeout ends.
for c in "${cases[@]}"; do
  IFS='|' read -r args rc text <<<"$c"
  check main-job.sh "$args" "$rc" "$text" "$src/scripts/main-job.sh"
done

# The JDK the script runs is checked as early: a KBR_JAVA_HOME without one gives one line and exit 2
# before anything is built. Environment (blank-separated NAME=VALUE), arguments, exit, text.
no_jdk=$(mktemp -d)
mkdir -p "$no_jdk/jre/bin"
ln -s "$java_home/bin/java" "$no_jdk/jre/bin/java"
env_cases=(
  "KBR_JAVA_HOME=/nonexistent/jdk||2|KBR_JAVA_HOME=/nonexistent/jdk is no JDK: /nonexistent/jdk/bin/java is missing"
  "KBR_JAVA_HOME=$src||2|$src/bin/java is missing"
  "KBR_JAVA_HOME=$no_jdk/jre||2|$no_jdk/jre/bin/javac is missing"
  "KBR_JAVA_HOME=/nonexistent/jdk|--stay x|2|--stay takes a number of seconds"
  "KBR_JAVA_HOME=/nonexistent/jdk|-h|0|KBR_JAVA_HOME"
)
for c in "${env_cases[@]}"; do
  IFS='|' read -r environment args rc text <<<"$c"
  # shellcheck disable=SC2086
  check "$environment main-job.sh" "$args" "$rc" "$text" env $environment "$src/scripts/main-job.sh"
done
rm -rf "$no_jdk"

# The Java program, compiled as the script compiles it.
rm -rf "$classes"
mkdir -p "$classes"
"$java_home/bin/javac" -Xlint:all -Werror -d "$classes" "$src"/tools/mainjob/nl/brimel/kbr/mainjob/*.java \
  "$src"/tests/java/nl/brimel/kbr/phone/jni/{JPhone,Peers,SipText,WavFile,RtpLog}.java || { echo "FAIL: javac"; exit 1; }
for c in "${cases[@]}"; do
  IFS='|' read -r args rc text <<<"$c"
  check MainJob "$args" "$rc" "$text" "$java_home/bin/java" -cp "$classes" nl.brimel.kbr.mainjob.MainJob
done

echo "$((${#cases[@]} * 2 + ${#env_cases[@]} - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
