// Which of the host's addresses the log-in registers, and where the scratch files go.
// Nothing here connects anywhere.
#include "directory/directory.h"
#include "scratch_helpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

namespace dir = sorvane::directory;
using sorvane::test::ScopedEnv;
using sorvane::test::TempDir;

namespace {

std::vector<std::uint32_t> v4(std::initializer_list<const char*> dotted) {
    std::vector<std::uint32_t> out;
    for (const char* d : dotted)
        out.push_back(::inet_addr(d));
    return out;
}

struct Choice {
    const char* name;
    std::vector<std::uint32_t> resolved, interfaces;
    std::string expected;
};

std::ostream& operator<<(std::ostream& os, const Choice& c) {
    return os << c.name;
}

const Choice kChoices[] = {
    {"NameDoesNotResolve", {}, v4({"127.0.0.1", "192.168.1.7"}), ""},
    {"OneRealAddress", v4({"192.168.1.7"}), v4({"10.0.0.5"}), "192.168.1.7"},
    {"SeveralRealAddressesTakeTheLast",
     v4({"10.0.0.5", "172.16.3.4", "192.168.1.7"}),
     {},
     "192.168.1.7"},
    {"LoopbackAfterARealAddressIsPassedOver", v4({"10.0.0.5", "127.0.1.1"}), {}, "10.0.0.5"},
    {"DebianLoopbackFallsBackToLastInterface", v4({"127.0.1.1"}),
     v4({"127.0.0.1", "10.0.0.5", "192.168.1.7", "127.0.0.2"}), "192.168.1.7"},
    {"WholeLoopbackNetworkIsLoopback", v4({"127.255.255.254"}), v4({"172.16.0.9"}), "172.16.0.9"},
    {"OnlyLoopbackInterfacesKeepTheResolverAddress", v4({"127.0.0.1", "127.0.1.1"}),
     v4({"127.0.0.1"}), "127.0.1.1"},
    {"NoInterfacesKeepTheResolverAddress", v4({"127.0.1.1"}), {}, "127.0.1.1"},
    {"JustOutsideLoopbackBelow", v4({"126.255.255.255"}), v4({"10.0.0.5"}), "126.255.255.255"},
    {"JustOutsideLoopbackAbove", v4({"128.0.0.1"}), v4({"10.0.0.5"}), "128.0.0.1"},
};

class LocalAddressChoice : public ::testing::TestWithParam<Choice> {};

TEST_P(LocalAddressChoice, Picks) {
    EXPECT_EQ(dir::chooseLocalIP(GetParam().resolved, GetParam().interfaces), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Hosts, LocalAddressChoice, ::testing::ValuesIn(kChoices),
                         [](const auto& info) { return std::string(info.param.name); });

// The real call: one of this host's own addresses in dotted form, or nothing at all.
TEST(LocalAddress, IsOneOfThisHostsAddresses) {
    const std::string ip = dir::LocalIP();
    if (ip.empty())
        GTEST_SKIP() << "this host's name does not resolve";
    in_addr parsed{};
    ASSERT_EQ(::inet_pton(AF_INET, ip.c_str(), &parsed), 1) << ip;

    std::set<std::string> own;
    ifaddrs* all = nullptr;
    ASSERT_EQ(::getifaddrs(&all), 0);
    for (const ifaddrs* i = all; i; i = i->ifa_next)
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET)
            own.insert(::inet_ntoa(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr));
    ::freeifaddrs(all);
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    if (const hostent* h = ::gethostbyname(name))
        for (char** a = h->h_addr_list; *a; ++a)
            own.insert(::inet_ntoa(*reinterpret_cast<in_addr*>(*a)));
    EXPECT_TRUE(own.count(ip)) << ip;
}

struct Place {
    const char* name;
    bool exeDirWritable;
    const char* xdg;
    const char* home;
    std::string expected;
};

std::ostream& operator<<(std::ostream& os, const Place& p) {
    return os << p.name;
}

const Place kPlaces[] = {
    {"BesideAWritableExecutable", true, "/cache", "/home/ann", "/opt/sorvane/bin"},
    {"CacheHomeWhenInstalledSystemWide", false, "/var/cache/ann", "/home/ann",
     "/var/cache/ann/sorvane-messenger"},
    {"HomeCacheWithoutCacheHome", false, "", "/home/ann", "/home/ann/.cache/sorvane-messenger"},
    {"RelativeCacheHomeIsIgnored", false, "cache", "/home/ann",
     "/home/ann/.cache/sorvane-messenger"},
};

class ScratchFolder : public ::testing::TestWithParam<Place> {};

TEST_P(ScratchFolder, Chosen) {
    const auto& p = GetParam();
    EXPECT_EQ(dir::chooseScratchDir("/opt/sorvane/bin", p.exeDirWritable, p.xdg, p.home),
              std::filesystem::path(p.expected));
}

INSTANTIATE_TEST_SUITE_P(Installs, ScratchFolder, ::testing::ValuesIn(kPlaces),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ScratchFolderDefault, IsBesideThisWritableTestProgram) {
    TempDir cache;
    ScopedEnv xdg("XDG_CACHE_HOME", cache.path().c_str());
    const auto exe = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(dir::defaultScratchDir(), exe.parent_path());
    EXPECT_FALSE(std::filesystem::exists(cache / "sorvane-messenger"))
        << "made a folder it did not use";
}

} // namespace
