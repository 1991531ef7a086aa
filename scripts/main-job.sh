#!/usr/bin/env bash
# Builds the engine (Release, in build/) and runs the main job: a small Java program that drives the
# engine the way the application does (initialize, processEvents, registerWithProxy, cancelRegistration
# against a kamailio it starts on 127.0.0.1; then a call to a sipp called party: dial, hold, resume,
# hang up, statistics), printing every callback with a time stamp. The call has sound: a simulated
# microphone sends a tone, the called party sends it back, and the audio received is written to
# build/mainjob/out/Speakers-1.wav (before the hold) and Speakers-2.wav (after the resume), whose
# level and frequency the job prints beside those of the audio it sent, and judges.
# Exits 0 when every step passed, 1 when a step failed, 2 on a bad option or a KBR_JAVA_HOME without a JDK.
set -euo pipefail

usage() {
  cat <<'EOF'
usage: scripts/main-job.sh [--stay SECONDS] [--user USER --password PASSWORD] [--out FOLDER]
Installs the missing Debian packages (scripts/install-deps.sh), builds the engine in build/ and runs
the main job: registration at a kamailio it starts, then a call with sound to a sipp called party
(dial, hold, resume, hang up), printing every callback with the meaning of its numbers.
  --stay SECONDS       how long to stay registered, and to talk before the hold and after the resume (at least 1.5 s), 0 to 3600, default 2
  --user USER          a user of the test registrar (default 1001)
  --password PASSWORD  that user's password (default secret1)
  --out FOLDER         where the received audio is recorded (default build/mainjob/out)
  -h, --help           this text
Environment: KBR_JAVA_HOME (the JDK 17, default /usr/lib/jvm/java-17-openjdk-amd64).
Exit status: 0 when every step passed, 1 when one failed, 2 on a bad option or
a KBR_JAVA_HOME that holds no JDK.
EOF
}

# The options are checked before anything is installed or built.
bad() { echo "main-job.sh: $1 (-h for help)" >&2; exit 2; }
args=()
out_option=""
while [ $# -gt 0 ]; do
  case $1 in
    -h | --help) usage; exit 0 ;;
    --stay | --user | --password | --out)
      [ $# -ge 2 ] || bad "$1 needs a value"
      if [ "$1" = --stay ]; then
        [[ $2 =~ ^[0-9]{1,4}(\.[0-9]+)?$ ]] && [ "${2%%.*}" -le 3600 ] &&
          { [ "${2%%.*}" -lt 3600 ] || ! [[ $2 =~ \.[0-9]*[1-9] ]]; } ||
          bad "--stay takes a number of seconds from 0 to 3600, not $2"
      fi
      if [ "$1" = --out ]; then
        out_option=$(realpath -m -- "$2")
        args+=("$1" "$out_option")
      else
        args+=("$1" "$2")
      fi
      shift 2 ;;
    *) bad "unknown option $1" ;;
  esac
done
set -- ${args[@]+"${args[@]}"}
# So is the JDK: a wrong KBR_JAVA_HOME would otherwise fail only after the build.
java_home=$(realpath -m -- "${KBR_JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}")
for tool in java javac; do
  [ -x "$java_home/bin/$tool" ] || bad "KBR_JAVA_HOME=$java_home is no JDK: $java_home/bin/$tool is missing"
done

cd "$(dirname "$0")/.."

scripts/install-deps.sh

echo "== building the engine"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build build -j"$(nproc)" --target kbrjphone qwave avrt > /dev/null

classes=build/mainjob/classes
rm -rf "$classes"
mkdir -p "$classes"
"$java_home/bin/javac" -Xlint:all -Werror -d "$classes" \
  tools/mainjob/nl/brimel/kbr/mainjob/*.java \
  tests/java/nl/brimel/kbr/phone/jni/JPhone.java tests/java/nl/brimel/kbr/phone/jni/Peers.java \
  tests/java/nl/brimel/kbr/phone/jni/SipText.java tests/java/nl/brimel/kbr/phone/jni/WavFile.java \
  tests/java/nl/brimel/kbr/phone/jni/RtpLog.java

echo "== main job"
# Simulated audio: the microphone sends a 1000 Hz tone; the speaker records what the call received
# into the output folder.
# The default folder is emptied first; a folder given with --out is only added to (the job reads the
# recordings of its own run).
if [ -n "$out_option" ]; then
  mkdir -p "$out_option"
  out=$out_option
else
  out="$PWD/build/mainjob/out"
  rm -rf "$out"
  mkdir -p "$out"
fi
export KBR_AUDIO_BACKEND=sim
export KBR_AUDIO_SIM_CAPTURE="Microphone,source=tone:1000:0.3"
export KBR_AUDIO_SIM_RENDER="Speakers"
export KBR_AUDIO_SIM_RECORD_DIR="$out"
# The packets the call sends are logged too (build/mainjob/rtp), so that the job can set the level sent
# beside the level received; the packet log needs the rtp log level 2, which also prints a few RTP lines
# (keep-alives, hold and resume of the RTP session).
rtp="$PWD/build/mainjob/rtp"
rm -rf "$rtp"
mkdir -p "$rtp"
export KBR_RTP_LOGDIR="$rtp" kbr_rtp_level=2
# The peers' logs stay in build/mainjob/peers (a folder per peer, of the last run only: the job clears
# the folders of earlier runs).
exec "$java_home/bin/java" -Xcheck:jni -Djava.library.path="$PWD/build/lib" -Dkbr.e2e.peers="$PWD/tests/e2e/peers.py" \
  -Dkbr.e2e.workdir="$PWD/build/mainjob/peers" \
  -cp "$classes" nl.brimel.kbr.mainjob.MainJob "$@"
