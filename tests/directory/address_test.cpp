// The exact address of every request the windows send: script, keys, key order,
// the cache-buster, and how typed values are carried.
#include "directory/directory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace dir = sorvane::directory;
namespace address = sorvane::directory::address;

namespace {

constexpr const char* kBase = "http://127.0.0.1:8642/messenger/";

struct Row {
    const char* name;
    std::function<std::string()> build;
    std::string expected; // after the base
};

std::ostream& operator<<(std::ostream& os, const Row& r) {
    return os << r.name;
}

const dir::Profile kPlainProfile{"Ann", "Lee", "female", "7", "3", "1990", "Oslo", "Norway"};
const dir::Profile kAwkwardProfile{"Zo\xC3\xAB", "O'Neil & Sons",    "f=m",    "#1", "50%",
                                   "19 90",      "S\xC3\xA3o Paulo", "a+b?c/d"};

const Row kRows[] = {
    {"LogIn", [] { return address::login(kBase, "ann@x.org", "secret", "10.0.0.5", "4321"); },
     "c.php?u=ann%40x.org&p=secret&ip=10.0.0.5&port=4321"},
    {"LogInWithoutAddress", [] { return address::login(kBase, "ann@x.org", "secret", "", "7"); },
     "c.php?u=ann%40x.org&p=secret&ip=&port=7"},
    {"LogInPasswordWithSeparators",
     [] { return address::login(kBase, "ann@x.org", "a&b=c#d%e f", "10.0.0.5", "1"); },
     "c.php?u=ann%40x.org&p=a%26b%3Dc%23d%25e%20f&ip=10.0.0.5&port=1"},
    {"NewUser", [] { return address::newUser(kBase, "bob@y.org", "pa ss"); },
     "n.php?u=bob%40y.org&p=pa%20ss"},
    {"NewUserEmptyValues", [] { return address::newUser(kBase, "", ""); }, "n.php?u=&p="},
    {"AddFriend", [] { return address::addFriend(kBase, "ann@x.org", "bob@y.org"); },
     "f.php?u=ann%40x.org&f=bob%40y.org"},
    {"DeleteFriend", [] { return address::deleteFriend(kBase, "ann@x.org", "bob@y.org"); },
     "d.php?u=ann%40x.org&f=bob%40y.org"},
    {"ProbeLookupLowestBuster", [] { return address::probeLookup(kBase, "bob@y.org", 0); },
     "g.php?u=bob%40y.org&random=0"},
    {"ProbeLookupHighestBuster", [] { return address::probeLookup(kBase, "bob@y.org", 19998); },
     "g.php?u=bob%40y.org&random=19998"},
    {"SendLookupHasNoBuster", [] { return address::sendLookup(kBase, "bob@y.org"); },
     "g.php?u=bob%40y.org"},
    {"SearchWithBlank", [] { return address::search(kBase, "j smith", 77); },
     "s.php?u=j%20smith&random=77"},
    {"SearchForSeparators", [] { return address::search(kBase, "&random=5", 12); },
     "s.php?u=%26random%3D5&random=12"},
    {"ViewProfile", [] { return address::viewProfile(kBase, "bob@y.org", 305); },
     "v.php?u=bob%40y.org&random=305"},
    {"SaveProfile", [] { return address::saveProfile(kBase, "ann@x.org", kPlainProfile, 9); },
     "e.php?u=ann%40x.org&n=Ann&s=Lee&g=female&d=7&m=3&y=1990&ci=Oslo&co=Norway&random=9"},
    {"SaveProfileAwkwardValues",
     [] { return address::saveProfile(kBase, "ann@x.org", kAwkwardProfile, 1); },
     "e.php?u=ann%40x.org&n=Zo%C3%AB&s=O%27Neil%20%26%20Sons&g=f%3Dm&d=%231&m=50%25&y=19%2090"
     "&ci=S%C3%A3o%20Paulo&co=a%2Bb%3Fc%2Fd&random=1"},
    // The login token goes after every key the request has always had, but the cache-buster.
    {"AddFriendWithToken", [] { return address::addFriend(kBase, "ann@x.org", "bob", "Tk-_9"); },
     "f.php?u=ann%40x.org&f=bob&t=Tk-_9"},
    {"DeleteFriendWithToken",
     [] { return address::deleteFriend(kBase, "ann@x.org", "bob", "Tk-_9"); },
     "d.php?u=ann%40x.org&f=bob&t=Tk-_9"},
    {"SaveProfileWithToken",
     [] { return address::saveProfile(kBase, "ann@x.org", kPlainProfile, 9, "Tk-_9"); },
     "e.php?u=ann%40x.org&n=Ann&s=Lee&g=female&d=7&m=3&y=1990&ci=Oslo&co=Norway&t=Tk-_9&random=9"},
    {"SaveProfileEmptyFields",
     [] { return address::saveProfile(kBase, "ann@x.org", dir::Profile{}, 18000); },
     "e.php?u=ann%40x.org&n=&s=&g=&d=&m=&y=&ci=&co=&random=18000"},
};

class RequestAddress : public ::testing::TestWithParam<Row> {};

TEST_P(RequestAddress, IsExact) {
    EXPECT_EQ(GetParam().build(), std::string(kBase) + GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, RequestAddress, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RequestAddressBase, BuiltInBaseEndsInMessengerFolder) {
    const std::string_view base = dir::directoryBase();
    ASSERT_GE(base.size(), std::string_view("http:///messenger/").size());
    EXPECT_EQ(base.substr(0, 7), "http://");
    EXPECT_EQ(base.substr(base.size() - 11), "/messenger/");
}

TEST(ValueEncoding, UnreservedCharactersStay) {
    const std::string unreserved =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
    EXPECT_EQ(dir::encodeValue(unreserved), unreserved);
}

TEST(ValueEncoding, EveryOtherByteBecomesUpperCaseHex) {
    for (int c = 0; c < 256; ++c) {
        const std::string value(1, static_cast<char>(c));
        const bool unreserved = std::isalnum(c) && c < 128;
        if (unreserved || c == '-' || c == '.' || c == '_' || c == '~')
            continue;
        char expected[4];
        std::snprintf(expected, sizeof expected, "%%%02X", c);
        EXPECT_EQ(dir::encodeValue(value), expected) << "byte " << c;
    }
}

TEST(ScratchFiles, OnePerCallSite) {
    EXPECT_STREQ(dir::scratchFileName(dir::Scratch::Temp), "temp.txt");
    EXPECT_STREQ(dir::scratchFileName(dir::Scratch::Temp2), "temp2.txt");
    EXPECT_STREQ(dir::scratchFileName(dir::Scratch::Temp3), "temp3.txt");
    EXPECT_STREQ(dir::scratchFileName(dir::Scratch::Temp4), "temp4.txt");
    EXPECT_STREQ(dir::scratchFileName(dir::Scratch::Temp5), "temp5.txt");
    const dir::Directory d("http://127.0.0.1:1/messenger/", "/srv/scratch");
    EXPECT_EQ(d.scratchPath(dir::Scratch::Temp3), std::filesystem::path("/srv/scratch/temp3.txt"));
}

TEST(CacheBuster, DrawsCoverZeroTo19998AndNothingElse) {
    dir::CacheBuster buster;
    buster.reseed();
    int lo = 1 << 30, hi = -1;
    for (int i = 0; i < 400000; ++i) {
        const int n = buster.draw();
        lo = std::min(lo, n);
        hi = std::max(hi, n);
    }
    // With 400 000 draws over 19 999 values, missing either end has odds of about e^-20.
    EXPECT_EQ(lo, 0);
    EXPECT_EQ(hi, 19998);
}

std::vector<int> firstDraws(dir::CacheBuster& b) {
    std::vector<int> v;
    for (int i = 0; i < 8; ++i)
        v.push_back(b.draw());
    return v;
}

TEST(CacheBuster, ReseedingTakesTheClock) {
    dir::CacheBuster a, b;
    EXPECT_EQ(firstDraws(a), firstDraws(b)) << "two unseeded generators agree";
    dir::CacheBuster c, d;
    c.reseed();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    d.reseed();
    EXPECT_NE(firstDraws(c), firstDraws(d)) << "reseeding at different times must differ";
}

} // namespace
