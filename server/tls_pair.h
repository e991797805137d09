#pragma once

#include <string>

namespace sorvane::server {

// A certificate and its private key, both PEM text.
struct TlsPair {
    std::string certificate;
    std::string key;
};

// Reads both files and checks that the key belongs to the certificate.
// Empty on success, else one line saying what is wrong.
std::string loadTlsPair(const std::string& certificatePath, const std::string& keyPath,
                        TlsPair& pair);

} // namespace sorvane::server
