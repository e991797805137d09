// What the wire format admits: keys and bodies are read strictly, a sealed text opens only with
// the recipient's key and verifies only with the sender's, and both users see one safety number.
#include "engine/sealing.h"

#include <gtest/gtest.h>

namespace sealing = sorvane::engine::sealing;

namespace {

TEST(SealingFormat, KeysAndBodiesAreReadStrictly) {
    const sealing::Identity ann = sealing::newIdentity();
    const std::string key = sealing::toBase64Url(ann.publicKey);
    ASSERT_EQ(key.size(), 43u);
    EXPECT_EQ(sealing::parsePublicKey(key), ann.publicKey);
    std::string strayBits = key;
    ++strayBits.back(); // sets one of the last character's unused bits (it ends in A, Q, g or w)
    for (const std::string& bad : {key + "=", key.substr(0, 42), key + "A", "+" + key.substr(1),
                                   strayBits, std::string(43, 'A')}) // not a point on the curve
        EXPECT_FALSE(sealing::parsePublicKey(bad)) << bad;

    const sealing::Body body{"ann", "bob", key, std::string(32, 'a'), 1700000000, "two\nlines"};
    const std::string text = sealing::encodeBody(body);
    const auto read = sealing::decodeBody(text);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->text, "two\nlines");
    EXPECT_EQ(read->time, 1700000000);
    for (const std::string& bad :
         {"sv2" + text.substr(3), text.substr(0, text.find("1700000000")) + "17x\ntext",
          text.substr(0, text.find(std::string(32, 'a'))) + std::string(32, 'A') + "\n1\nt",
          std::string("sv1\nann\nbob\n") + key + "\n"})
        EXPECT_FALSE(sealing::decodeBody(bad)) << bad;
}

TEST(SealingFormat, OnlyTheRecipientOpensOnlyTheSenderVerifiesOneSafetyNumberForBoth) {
    const sealing::Identity ann = sealing::newIdentity(), bob = sealing::newIdentity();
    const sealing::Body body{
        "ann",      "bob",  sealing::toBase64Url(bob.publicKey), sealing::newMessageId(),
        1700000000, "hello"};
    const std::string sealed = sealing::seal(body, ann, bob.publicKey);
    EXPECT_EQ(sealed.size(), sealing::sealedLength(sealing::encodeBody(body).size()));
    EXPECT_FALSE(sealing::open(sealed, ann));
    const auto opened = sealing::open(sealed, bob);
    ASSERT_TRUE(opened);
    EXPECT_FALSE(sealing::verify(*opened, bob.publicKey));
    EXPECT_EQ(sealing::verify(*opened, ann.publicKey), sealing::encodeBody(body));

    const std::string digits = sealing::safetyNumber("ann", ann.publicKey, "bob", bob.publicKey);
    EXPECT_EQ(digits.size(), 60u);
    EXPECT_EQ(digits.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(digits, sealing::safetyNumber("bob", bob.publicKey, "ann", ann.publicKey));
    EXPECT_NE(digits, sealing::safetyNumber("ann", ann.publicKey, "bob", ann.publicKey));
}

} // namespace
