#include "tls_pair.h"

#include <gnutls/gnutls.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace sorvane::server {
namespace {

bool readFile(const std::string& path, std::string& text, std::string& error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    text.clear();
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            text.append(buffer, static_cast<size_t>(n));
    const int readError = errno;
    ::close(fd);
    if (n < 0) {
        error = "cannot read " + path + ": " + std::strerror(readError);
        return false;
    }
    return true;
}

} // namespace

std::string loadTlsPair(const std::string& certificatePath, const std::string& keyPath,
                        TlsPair& pair) {
    std::string error;
    if (!readFile(certificatePath, pair.certificate, error) || !readFile(keyPath, pair.key, error))
        return error;

    gnutls_certificate_credentials_t credentials = nullptr;
    if (gnutls_certificate_allocate_credentials(&credentials) != GNUTLS_E_SUCCESS)
        return "cannot check the certificate: out of memory";
    gnutls_datum_t certificate{reinterpret_cast<unsigned char*>(pair.certificate.data()),
                               static_cast<unsigned>(pair.certificate.size())};
    gnutls_datum_t key{reinterpret_cast<unsigned char*>(pair.key.data()),
                       static_cast<unsigned>(pair.key.size())};
    // Fails with a reason for a file that holds no PEM certificate or key, and
    // for a key that does not belong to the certificate.
    int rc =
        gnutls_certificate_set_x509_key_mem(credentials, &certificate, &key, GNUTLS_X509_FMT_PEM);
    gnutls_certificate_free_credentials(credentials);
    if (rc < 0)
        return "TLS certificate " + certificatePath + " and key " + keyPath +
               " do not make a pair: " + gnutls_strerror(rc);
    return {};
}

} // namespace sorvane::server
