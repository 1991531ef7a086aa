#include "CallStatistics.h"

#include "RTPSession.h"

#include <atomic>

namespace kbrphone {

namespace {

// The call's own receive figures, read under the session's lock.
CallStatistics readSession(rtp::RTPSession& session) {
    const rtp::CallStatistics s = session.callStatistics();
    CallStatistics out;
    out.remoteSsrc = s.ssrc;
    out.expected = s.expected;
    out.lost = s.lost;
    out.late80 = s.jumps80;
    out.late160 = s.jumps160;
    out.late240 = s.jumps240;
    out.jitter = s.jitter;
    return out;
}

std::atomic<CallStatisticsReader> reader{readSession};

} // namespace

CallStatistics readCallStatistics(rtp::RTPSession& session) {
    return reader.load()(session);
}

CallStatisticsReader setCallStatisticsReader(CallStatisticsReader next) {
    return reader.exchange(next ? next : readSession);
}

} // namespace kbrphone
