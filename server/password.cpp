#include "password.h"

#include <crypt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace sorvane::server {
namespace {

// crypt_data is large (tens of KiB); keep it off the worker thread's stack.
std::string cryptText(std::string_view password, const char* setting) {
    auto data = std::make_unique<crypt_data>();
    std::string phrase(password);
    const char* out = crypt_r(phrase.c_str(), setting, data.get());
    if (!out || out[0] != '$')
        return {};
    return out;
}

bool sameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

} // namespace

PasswordHasher::PasswordHasher(int cost) : cost_(cost) {
    decoy_ = hash("decoy password");
}

std::string PasswordHasher::hash(std::string_view password) const {
    char* setting = crypt_gensalt_ra("$y$", static_cast<unsigned long>(cost_), nullptr, 0);
    if (!setting)
        throw std::runtime_error(std::string("password hashing: ") + std::strerror(errno));
    std::string result = cryptText(password, setting);
    std::free(setting);
    if (result.empty())
        throw std::runtime_error("password hashing failed");
    return result;
}

bool PasswordHasher::verify(std::string_view password, const std::string& storedHash) const {
    std::string computed = cryptText(password, storedHash.c_str());
    return !computed.empty() && sameText(computed, storedHash);
}

void PasswordHasher::spendVerificationTime(std::string_view password) const {
    (void)verify(password, decoy_);
}

} // namespace sorvane::server
