#include "CallStatistics.h"

#include <atomic>
#include <stdexcept>

namespace kbrphone {

namespace {

CallStatistics noReader(rtp::RTPSession&) {
    throw std::runtime_error("no RTP session statistics reader installed");
}

std::atomic<CallStatisticsReader> reader{noReader};

} // namespace

CallStatistics readCallStatistics(rtp::RTPSession& session) {
    return reader.load()(session);
}

CallStatisticsReader setCallStatisticsReader(CallStatisticsReader next) {
    return reader.exchange(next ? next : noReader);
}

} // namespace kbrphone
