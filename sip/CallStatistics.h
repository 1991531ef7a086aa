// The receive figures of a call that are reported to Java when the call ends.
#pragma once

#include <cstdint>

namespace rtp {
class RTPSession;
}

namespace kbrphone {

struct CallStatistics {
    uint32_t remoteSsrc = 0;
    int expected = 0;
    int lost = 0;
    int late80 = 0;
    int late160 = 0;
    int late240 = 0;
    // The jitter estimate in timestamp units (1/8 ms).
    int jitter = 0;
};

// Copies a session's figures under the session's lock (by default RTPSession::callStatistics); throws
// std::runtime_error when they cannot be read.
using CallStatisticsReader = CallStatistics (*)(rtp::RTPSession& session);

CallStatistics readCallStatistics(rtp::RTPSession& session);
// Replaces the reader (null restores the default); returns the previous one. Tests install doubles.
CallStatisticsReader setCallStatisticsReader(CallStatisticsReader reader);

} // namespace kbrphone
