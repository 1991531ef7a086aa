// One digest challenge as answered in Authorization or Proxy-Authorization.
#pragma once

#include <string>

namespace sip {

struct DigestCredentials {
    std::string realm;
    std::string ha1; // 32 lowercase hex digits; empty until a challenge was answered
    std::string nonce;
    std::string opaque; // empty when the challenge had none
};

// A challenge value is written between double quotes without escaping, so a value holding a
// double quote, a backslash, CR or LF cannot be sent back and makes the challenge unusable.
bool isUsableChallengeValue(const std::string& value);

// True when realm, nonce and opaque can all be written into a header.
bool isUsableChallenge(const DigestCredentials& credentials);

} // namespace sip
