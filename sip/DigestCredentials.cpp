#include "DigestCredentials.h"

namespace sip {

bool isUsableChallengeValue(const std::string& value) {
    return value.find_first_of("\"\\\r\n") == std::string::npos;
}

bool isUsableChallenge(const DigestCredentials& credentials) {
    return isUsableChallengeValue(credentials.realm) && isUsableChallengeValue(credentials.nonce) &&
           isUsableChallengeValue(credentials.opaque);
}

} // namespace sip
