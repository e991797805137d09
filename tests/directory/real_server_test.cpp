// The request functions against a real sorvane-directory: what the client sends is what the
// directory stores, and what it answers reads back line by line.
#include "directory/directory.h"
#include "directory_server.h"
#include "scratch_helpers.h"

#include <gtest/gtest.h>

namespace dir = sorvane::directory;
using sorvane::LineList;
using sorvane::test::ScopedEnv;
using sorvane::test::TempDir;
using sorvane::test::TestDirectoryServer;

namespace {

class RealDirectory : public ::testing::Test {
protected:
    ScopedEnv noProxy_{"no_proxy", "127.0.0.0/8,localhost"};
    TestDirectoryServer server_;
    TempDir scratch_;
    dir::Directory d_{server_.base(), scratch_.path()};
};

TEST_F(RealDirectory, AccountsWithAwkwardPasswords) {
    const std::string password = "p&q=r #%+\xC3\xA9";
    EXPECT_EQ(d_.newUser("ann@x.org", password)[0], "OK");
    EXPECT_EQ(d_.newUser("ann@x.org", "other")[0], "username exists");
    EXPECT_EQ(d_.login("ann@x.org", password, "127.0.0.1", "4321")[0], "OK");
    // Only the password exactly as typed is the password.
    EXPECT_NE(d_.login("ann@x.org", "p", "127.0.0.1", "4321")[0], "OK");
    EXPECT_NE(d_.login("ann@x.org", "p&q=r  #%+\xC3\xA9", "127.0.0.1", "4321")[0], "OK");
}

TEST_F(RealDirectory, FriendsAndTheirAddresses) {
    for (const char* name : {"ann@x.org", "bob@y.org"})
        ASSERT_EQ(d_.newUser(name, "pw")[0], "OK");
    ASSERT_EQ(d_.login("bob@y.org", "pw", "127.0.0.3", "5123")[0], "OK");
    ASSERT_EQ(d_.login("ann@x.org", "pw", "127.0.0.1", "4321")[0], "OK");

    EXPECT_EQ(d_.addFriend("ann@x.org", "bob@y.org")[0], "OK");
    EXPECT_NE(d_.addFriend("ann@x.org", "nobody@z.org")[0], "OK");
    const LineList again = d_.login("ann@x.org", "pw", "127.0.0.1", "4321");
    ASSERT_EQ(again.count(), 3); // the third line is the login token
    EXPECT_EQ(again[1], "#bob@y.org");

    const std::vector<std::string> bob{"127.0.0.3", "5123"};
    EXPECT_EQ(d_.sendLookup("bob@y.org").lines(), bob);
    dir::CacheBuster probe;
    probe.reseed();
    EXPECT_EQ(d_.probeLookup("bob@y.org", probe.draw()).lines(), bob);

    EXPECT_EQ(d_.sendLookup("nobody@z.org").count(), 0);

    EXPECT_EQ(d_.deleteFriend("ann@x.org", "bob@y.org")[0], "OK");
    const LineList after = d_.login("ann@x.org", "pw", "127.0.0.1", "4321");
    EXPECT_TRUE(after.count() == 1 || after[1].empty());
}

TEST_F(RealDirectory, ProfileValuesArriveAsTyped) {
    ASSERT_EQ(d_.newUser("ann@x.org", "pw")[0], "OK");
    ASSERT_EQ(d_.login("ann@x.org", "pw", "127.0.0.1", "4321")[0], "OK");
    const dir::Profile p{"Zo\xC3\xAB", "O'Neil & Sons",    "f=m",         "#1", "50%",
                         "19 90",      "S\xC3\xA3o Paulo", "a+b&random=1"};
    EXPECT_EQ(d_.saveProfile("ann@x.org", p)[0], "OK");

    const LineList shown = d_.viewProfile("ann@x.org");
    ASSERT_GE(shown.count(), 9);
    EXPECT_EQ(shown[0], "ann@x.org");
    EXPECT_EQ((std::vector<std::string>(shown.lines().begin() + 1, shown.lines().begin() + 9)),
              (std::vector<std::string>{p.name, p.surname, p.gender, p.day, p.month, p.year, p.city,
                                        p.country}));
}

} // namespace

TEST_F(RealDirectory, ChangesCarryTheTokenOfTheLastLogin) {
    for (const char* name : {"ann@x.org", "bob@y.org"})
        ASSERT_EQ(d_.newUser(name, "pw")[0], "OK");
    EXPECT_EQ(d_.loginToken(), "");
    ASSERT_EQ(d_.login("ann@x.org", "pw", "127.0.0.1", "4321")[0], "OK");
    const std::string first = d_.loginToken();
    EXPECT_GE(first.size(), 22u); // 128 bits or more
    EXPECT_EQ(first.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                      "0123456789-_"),
              std::string::npos);
    EXPECT_EQ(d_.addFriend("ann@x.org", "bob@y.org")[0], "OK");
    EXPECT_EQ(d_.saveProfile("ann@x.org", dir::Profile{"Ann", "", "", "", "", "", "", ""})[0],
              "OK");

    // The same user logging in from a second messenger takes over: the first
    // one's token no longer counts, and a failed login changes nothing.
    TempDir otherScratch;
    dir::Directory other{server_.base(), otherScratch.path()};
    ASSERT_EQ(other.login("ann@x.org", "pw", "127.0.0.1", "4322")[0], "OK");
    EXPECT_NE(other.loginToken(), first);
    EXPECT_EQ(d_.deleteFriend("ann@x.org", "bob@y.org")[0], "Error: log in again");
    EXPECT_EQ(other.deleteFriend("ann@x.org", "bob@y.org")[0], "OK");
    EXPECT_NE(d_.login("ann@x.org", "wrong", "127.0.0.1", "4321")[0], "OK");
    EXPECT_EQ(d_.loginToken(), first);
    ASSERT_EQ(d_.login("ann@x.org", "pw", "127.0.0.1", "4321")[0], "OK");
    EXPECT_EQ(d_.addFriend("ann@x.org", "bob@y.org")[0], "OK");
    EXPECT_EQ(other.addFriend("ann@x.org", "bob@y.org")[0], "Error: log in again");
}
