// The ALSA back end of the audio facility.
#include "audio_internal.h"

namespace plat {
namespace audio {

Backend* alsaBackend() { return nullptr; }
bool alsaHasSoundCard() { return false; }

} // namespace audio
} // namespace plat
