#include "engine/sealing.h"

#include <sodium.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace sorvane::engine::sealing {

namespace {

void ensureSodium() {
    static const int ready = sodium_init();
    if (ready < 0)
        throw std::runtime_error("libsodium cannot start");
}

const unsigned char* bytes(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

bool isLowerHex(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

} // namespace

Identity::~Identity() {
    sodium_memzero(secretKey.data(), secretKey.size());
}

Identity newIdentity() {
    ensureSodium();
    Identity identity;
    crypto_sign_keypair(identity.publicKey.data(), identity.secretKey.data());
    return identity;
}

std::string toBase64Url(const unsigned char* data, std::size_t size) {
    constexpr int variant = sodium_base64_VARIANT_URLSAFE_NO_PADDING;
    std::string out(sodium_base64_encoded_len(size, variant), '\0');
    sodium_bin2base64(out.data(), out.size(), data, size, variant);
    out.resize(out.size() - 1); // the terminating NUL
    return out;
}

std::string toBase64Url(const PublicKey& key) {
    return toBase64Url(key.data(), key.size());
}

std::optional<std::string> fromBase64Url(std::string_view text) {
    std::string out(text.size() * 3 / 4 + 1, '\0');
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), text.data(),
                          text.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_URLSAFE_NO_PADDING) != 0 ||
        end != text.data() + text.size())
        return std::nullopt;
    out.resize(length);
    return out;
}

std::optional<PublicKey> parsePublicKey(std::string_view text) {
    ensureSodium();
    if (text.size() != 43)
        return std::nullopt;
    const std::optional<std::string> raw = fromBase64Url(text);
    if (!raw || raw->size() != 32)
        return std::nullopt;
    PublicKey key;
    std::copy(raw->begin(), raw->end(), key.begin());
    unsigned char curve[crypto_scalarmult_curve25519_BYTES];
    if (crypto_sign_ed25519_pk_to_curve25519(curve, key.data()) != 0)
        return std::nullopt;
    return key;
}

std::string encodeBody(const Body& body) {
    std::string out;
    out.reserve(body.text.size() + body.sender.size() + body.recipient.size() + 120);
    for (std::string_view field : {std::string_view(Version), std::string_view(body.sender),
                                   std::string_view(body.recipient),
                                   std::string_view(body.recipientKey), std::string_view(body.id)})
        out.append(field).push_back('\n');
    out.append(std::to_string(body.time)).push_back('\n');
    out.append(body.text);
    return out;
}

std::optional<Body> decodeBody(std::string_view text) {
    std::string_view fields[6];
    for (std::string_view& field : fields) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos)
            return std::nullopt;
        field = text.substr(0, end);
        text.remove_prefix(end + 1);
    }
    const std::string_view time = fields[5];
    if (fields[0] != Version || fields[1].empty() || fields[2].empty() || fields[3].size() != 43 ||
        fields[4].size() != 32 || !isLowerHex(fields[4]) || time.empty() || time.size() > 18 ||
        !std::all_of(time.begin(), time.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return Body{std::string(fields[1]), std::string(fields[2]),        std::string(fields[3]),
                std::string(fields[4]), std::stoll(std::string(time)), std::string(text)};
}

std::string newMessageId() {
    ensureSodium();
    unsigned char raw[16];
    randombytes_buf(raw, sizeof raw);
    char hex[sizeof raw * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, raw, sizeof raw);
    return hex;
}

std::string seal(const Body& body, const Identity& sender, const PublicKey& recipient) {
    ensureSodium();
    const std::string message = encodeBody(body);
    std::vector<unsigned char> signedMessage(crypto_sign_BYTES + message.size());
    crypto_sign(signedMessage.data(), nullptr, bytes(message), message.size(),
                sender.secretKey.data());
    unsigned char curve[crypto_box_PUBLICKEYBYTES];
    if (crypto_sign_ed25519_pk_to_curve25519(curve, recipient.data()) != 0)
        throw std::invalid_argument("not a key lines can be sealed to");
    std::vector<unsigned char> sealed(crypto_box_SEALBYTES + signedMessage.size());
    crypto_box_seal(sealed.data(), signedMessage.data(), signedMessage.size(), curve);
    return std::string(Prefix) + toBase64Url(sealed.data(), sealed.size());
}

std::size_t sealedLength(std::size_t bodyBytes) {
    const std::size_t sealed = crypto_box_SEALBYTES + crypto_sign_BYTES + bodyBytes;
    return Prefix.size() + (sealed * 4 + 2) / 3;
}

std::optional<std::string> open(std::string_view sealedText, const Identity& own) {
    ensureSodium();
    if (sealedText.substr(0, Prefix.size()) != Prefix)
        return std::nullopt;
    const std::optional<std::string> sealed = fromBase64Url(sealedText.substr(Prefix.size()));
    if (!sealed || sealed->size() < crypto_box_SEALBYTES + crypto_sign_BYTES)
        return std::nullopt;
    unsigned char curvePublic[crypto_box_PUBLICKEYBYTES];
    unsigned char curveSecret[crypto_box_SECRETKEYBYTES];
    if (crypto_sign_ed25519_pk_to_curve25519(curvePublic, own.publicKey.data()) != 0 ||
        crypto_sign_ed25519_sk_to_curve25519(curveSecret, own.secretKey.data()) != 0)
        return std::nullopt;
    std::string signedMessage(sealed->size() - crypto_box_SEALBYTES, '\0');
    const int opened =
        crypto_box_seal_open(reinterpret_cast<unsigned char*>(signedMessage.data()), bytes(*sealed),
                             sealed->size(), curvePublic, curveSecret);
    sodium_memzero(curveSecret, sizeof curveSecret);
    if (opened != 0)
        return std::nullopt;
    return signedMessage;
}

std::optional<std::string> verify(std::string_view signedMessage, const PublicKey& signer) {
    ensureSodium();
    if (signedMessage.size() < crypto_sign_BYTES)
        return std::nullopt;
    std::string body(signedMessage.size() - crypto_sign_BYTES, '\0');
    unsigned long long length = 0;
    if (crypto_sign_open(reinterpret_cast<unsigned char*>(body.data()), &length,
                         bytes(signedMessage), signedMessage.size(), signer.data()) != 0)
        return std::nullopt;
    body.resize(length);
    return body;
}

std::string unverifiedBody(std::string_view signedMessage) {
    return std::string(
        signedMessage.substr(std::min<std::size_t>(signedMessage.size(), crypto_sign_BYTES)));
}

std::string safetyNumber(std::string_view nameA, const PublicKey& keyA, std::string_view nameB,
                         const PublicKey& keyB) {
    ensureSodium();
    // Both computers hash the same text: the two users ordered by their names' bytes.
    const bool aFirst = nameA.compare(nameB) <= 0;
    std::string text;
    text.append(aFirst ? nameA : nameB).push_back('\n');
    text.append(toBase64Url(aFirst ? keyA : keyB)).push_back('\n');
    text.append(aFirst ? nameB : nameA).push_back('\n');
    text.append(toBase64Url(aFirst ? keyB : keyA));
    unsigned char hash[crypto_hash_sha512_BYTES];
    crypto_hash_sha512(hash, bytes(text), text.size());
    std::string digits;
    for (int group = 0; group < 12; ++group) {
        unsigned long long value = 0;
        for (int i = 0; i < 5; ++i)
            value = (value << 8) | hash[group * 5 + i];
        const std::string five = std::to_string(value % 100000);
        digits += std::string(5 - five.size(), '0') + five;
    }
    return digits;
}

} // namespace sorvane::engine::sealing
