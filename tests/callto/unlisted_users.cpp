// A user database that cannot be listed, as LDAP or sssd as set up by default serve it: with
// KBR_TEST_UNLISTED_USERS set in the environment a walk of the accounts (getpwent, getpwent_r) ends
// at once, while the lookups by id or name still find them; without it every call goes to the C
// library. Linked into the test program ahead of the C library, so that the engine's calls come
// here too.
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <pwd.h>

namespace {
bool unlisted() {
    return std::getenv("KBR_TEST_UNLISTED_USERS") != nullptr;
}
template <class Fn> Fn next(const char* name) {
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}
} // namespace

extern "C" {

passwd* getpwent() {
    static const auto real = next<passwd* (*)()>("getpwent");
    if (unlisted()) {
        errno = ENOENT;
        return nullptr;
    }
    return real();
}

int getpwent_r(passwd* entry, char* buffer, size_t size, passwd** result) {
    static const auto real = next<int (*)(passwd*, char*, size_t, passwd**)>("getpwent_r");
    if (unlisted()) {
        *result = nullptr;
        return ENOENT;
    }
    return real(entry, buffer, size, result);
}

} // extern "C"
