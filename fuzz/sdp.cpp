// SDP bodies through parseSdp, audio selection, codec matching, the RTP address and the answer.
#include "Sdp.h"

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

// Numeric addresses only: host names would send the fuzzer to the system resolver.
kmt::SocketAddress numericOnly(const char* host) {
    in_addr a;
    if (inet_pton(AF_INET, host, &a) != 1)
        throw kmt::SocketException("getaddrinfo", 11001, "host not found");
    return kmt::SocketAddress::fromHost(host);
}

volatile size_t sink;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65535)
        return 0;
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    sip::SdpDescription offer;
    try {
        offer = sip::parseSdp(in, numericOnly);
    } catch (const std::exception&) {
        return 0; // "unsuported network protocol" or a failed lookup
    }
    const sip::SdpCodec wanted[] = {
        {8, "PCMA", 8000, ""}, {101, "telephone-event", 8000, ""}, {0, "", 0, ""}};
    for (const sip::SdpCodec& codec : wanted) {
        if (offer.selectAudio(codec)) {
            const sip::SdpCodec* found = offer.findCodec(codec);
            sink = sink + (found ? found->payloadType : 0);
        }
        sink = sink + offer.remoteRtpAddress().port();
    }
    offer.selectAudio(wanted[0]);
    sip::SdpLocalMedia local;
    local.port = 40000;
    local.rtcpPort = 40001;
    local.codecs = {wanted[0], {101, "telephone-event", 8000, "0-11"}};
    std::ostringstream answer;
    local.writeSdpAnswer(answer, offer);
    sink = sink + answer.str().size();
    return 0;
}
