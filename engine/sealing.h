#pragma once
// Sealed lines: the text of a line, who sent it and to whom, signed with the sender's identity
// key and sealed to the recipient's, so that only the recipient can read it and nobody can change
// it or write it in the sender's name. The README's "Sealed lines" gives the wire format field by
// field; these functions are its only writers and readers. Every primitive is libsodium's.
//
// Pure functions, safe on any thread.
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace sorvane::engine::sealing {

// An Ed25519 public key, as the directory publishes it.
using PublicKey = std::array<unsigned char, 32>;

// The messenger's own key pair on this computer.
struct Identity {
    PublicKey publicKey{};
    std::array<unsigned char, 64> secretKey{}; // libsodium's: seed, then the public key
    ~Identity();
};

// A fresh key pair.
Identity newIdentity();

// base64url without padding (RFC 4648 section 5), and its strict reading: anything but canonical
// base64url text (no padding, no blanks, no stray bits) gives nothing.
std::string toBase64Url(const unsigned char* data, std::size_t size);
std::string toBase64Url(const PublicKey& key);
std::optional<std::string> fromBase64Url(std::string_view text);

// A key from its published text: 43 characters of base64url that make a key lines can be sealed
// to (libsodium takes it to its X25519 form); nothing otherwise.
std::optional<PublicKey> parsePublicKey(std::string_view text);

// What a sealed line says, before it is signed and sealed.
struct Body {
    std::string sender;       // name
    std::string recipient;    // name
    std::string recipientKey; // base64url
    std::string id;           // 32 lower-case hex digits, made when Enter is pressed
    long long time = 0;       // Unix seconds, when Enter was pressed
    std::string text;         // may hold LFs
};
inline constexpr std::string_view Version = "sv1";
inline constexpr std::string_view Prefix = "sv1:";

std::string encodeBody(const Body& body);
// Nothing unless the text has the six fields and the text after them, each as the format says.
std::optional<Body> decodeBody(std::string_view text);

// A message id: 16 random bytes as 32 lower-case hex digits.
std::string newMessageId();

// The text that follows "<sender> " on the wire: "sv1:" + base64url of the body signed by
// `sender` and sealed to `recipient`.
std::string seal(const Body& body, const Identity& sender, const PublicKey& recipient);
// seal()'s length for a body of `bodyBytes` bytes, without sealing.
std::size_t sealedLength(std::size_t bodyBytes);

// The signed body inside a sealed text; nothing when `own` cannot open it (sealed to another
// key, damaged, not base64url).
std::optional<std::string> open(std::string_view sealedText, const Identity& own);
// The body of a signed message when its signature is `signer`'s; nothing otherwise.
std::optional<std::string> verify(std::string_view signedMessage, const PublicKey& signer);
// The body of a signed message, its signature unchecked (for showing a line that failed).
std::string unverifiedBody(std::string_view signedMessage);

// The safety number of two users: 60 digits in 12 groups of 5, the same on both computers.
std::string safetyNumber(std::string_view nameA, const PublicKey& keyA, std::string_view nameB,
                         const PublicKey& keyB);

} // namespace sorvane::engine::sealing
