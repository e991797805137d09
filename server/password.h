#pragma once

#include <string>
#include <string_view>

namespace sorvane::server {

// Salted yescrypt hashes through libcrypt. The cost is yescrypt's own scale:
// 1 (fast) to 11; libcrypt's default is 5.
class PasswordHasher {
public:
    static constexpr int kDefaultCost = 5;

    explicit PasswordHasher(int cost = kDefaultCost);

    // "$y$..." with a fresh random salt; throws std::runtime_error when
    // libcrypt refuses.
    std::string hash(std::string_view password) const;
    bool verify(std::string_view password, const std::string& storedHash) const;
    // Spends the time of one verification, so that an unknown user name
    // cannot be told from a wrong password by the reply time.
    void spendVerificationTime(std::string_view password) const;

private:
    int cost_;
    std::string decoy_;
};

} // namespace sorvane::server
