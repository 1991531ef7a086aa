// The tone of each line state.
#include "Phone.h"

#include "ToneGenerator.h"

namespace kbrphone {

std::unique_ptr<SoundGenerator> makeStateTone(int state) {
    constexpr int amplitude = 4000;
    switch (state) {
    case lineDialing:
        return std::make_unique<DTMFNumberGenerator>(amplitude);
    case lineRingback:
        return std::make_unique<DialingToneGenerator>(amplitude);
    case lineBusy:
    case lineFailed:
        return std::make_unique<BusyToneGenerator>(amplitude);
    case lineRemoteEnded:
    case lineFailedOther:
        return std::make_unique<CongestionToneGenerator>(amplitude);
    default:
        return nullptr;
    }
}

} // namespace kbrphone
