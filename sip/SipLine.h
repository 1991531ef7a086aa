// The SIP implementation of the phone's line: one call slot that exists before its call. Dialling
// or an incoming INVITE attaches an INVITE dialog, which then drives the line's state; the line
// forwards the user's commands to that dialog and answers the phone's questions about the call.
#pragma once

#include "Phone.h"

#include <string>

namespace sip {

class SipEndPoint;
class SipInviteDialog;

class SipLine : public kbrphone::Line {
public:
    // A new idle line with that id (named by the id when name is empty), added to the end point's
    // phone. Throws std::runtime_error "line id is not unique" when the id is taken.
    static SipLine* create(SipEndPoint* endPoint, const std::string& lineId, const std::string& name);
    // Clears the dialog's pointer to this line.
    ~SipLine() override;

    void dial(const std::string& number, const std::string& displayName) override;
    void hangup() override;
    void toneFinished() override;
    void putOnHold() override;
    void activate() override;
    void setRinging() override;
    void answerIncoming() override;
    void rejectIncoming() override;
    void busyIncoming() override;
    void blindTransfer(const std::string& target) override;
    void transfer(Line* other) override;
    std::string remoteName() override;
    std::string remoteUri() override;
    std::string localName() override;
    std::string localUri() override;
    std::string calledUri() override;
    bool isInternal() override;
    int wrapUpTime() override;
    kbrphone::TransportChannel* transportChannel() override;
    rtp::RTPSession* rtpSession() override;

    // Not owned: the dialog deletes itself when the call is over.
    SipInviteDialog* dialog = nullptr;
    SipEndPoint* endPoint;

private:
    SipLine(SipEndPoint* endPoint, const std::string& lineId, const std::string& name);
};

} // namespace sip
