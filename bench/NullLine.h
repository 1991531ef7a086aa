// A line that does nothing: a benchmark's line overrides only what it measures.
#pragma once

#include "Phone.h"

#include <string>

class NullLine : public kbrphone::Line {
public:
    NullLine(kbrphone::Phone* phone, const std::string& id) : Line(phone, id, "") {}
    void dial(const std::string&, const std::string&) override {}
    void hangup() override {}
    void toneFinished() override {}
    void putOnHold() override {}
    void activate() override {}
    void setRinging() override {}
    void answerIncoming() override {}
    void rejectIncoming() override {}
    void busyIncoming() override {}
    void blindTransfer(const std::string&) override {}
    void transfer(Line*) override {}
    std::string remoteName() override { return {}; }
    std::string remoteUri() override { return {}; }
    std::string localName() override { return {}; }
    std::string localUri() override { return {}; }
    std::string calledUri() override { return {}; }
    bool isInternal() override { return false; }
    int wrapUpTime() override { return 0; }
    kbrphone::TransportChannel* transportChannel() override { return nullptr; }
    rtp::RTPSession* rtpSession() override { return nullptr; }
};
