#!/usr/bin/env bash
# Builds the engine (Release, in build/) and runs the main job: a small Java program that drives the
# engine the way the application does (initialize, processEvents, registerWithProxy, cancelRegistration
# against a kamailio it starts on 127.0.0.1; then a call to a sipp called party: dial, hold, resume,
# hang up, statistics), printing every callback with a time stamp. The call has sound: a simulated
# microphone sends a tone, the called party sends it back, and the audio received is written to
# build/mainjob/out/Speakers-1.wav, whose duration and level the job prints.
# Options after the script's name go to the program (--stay SECONDS, --user USER --password PASSWORD).
# Exits 0 when every step passed.
set -euo pipefail
cd "$(dirname "$0")/.."
java_home=${KBR_JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}

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
  tests/java/nl/brimel/kbr/phone/jni/SipText.java

echo "== main job"
# Simulated audio: the microphone sends a 1000 Hz tone; the speaker records what the call received
# into the output folder.
out="$PWD/build/mainjob/out"
rm -rf "$out"
mkdir -p "$out"
export KBR_AUDIO_BACKEND=sim
export KBR_AUDIO_SIM_CAPTURE="Microphone,source=tone:1000:0.3"
export KBR_AUDIO_SIM_RENDER="Speakers"
export KBR_AUDIO_SIM_RECORD_DIR="$out"
# The peers' logs stay in build/mainjob/peers (one folder per run of a peer).
exec "$java_home/bin/java" -Xcheck:jni -Djava.library.path="$PWD/build/lib" -Dkbr.e2e.peers="$PWD/tests/e2e/peers.py" \
  -Dkbr.e2e.workdir="$PWD/build/mainjob/peers" \
  -cp "$classes" nl.brimel.kbr.mainjob.MainJob "$@"
