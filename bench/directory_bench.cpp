// One directory request at a call site (GetInetFile into the scratch file, then the read-back
// as a line list) next to its floor, a bare libcurl GET of the same address into memory, against
// the real directory server on loopback. Both are measured interleaved in rounds (rounds.h), each
// round a batch of requests of each kind; a round's figure and floor are the mean time of one
// request in its batch.
#include "directory/directory.h"
#include "directory_server.h"
#include "loopback.h"
#include "rounds.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <string>

namespace {

using sorvane::directory::Directory;
using sorvane::test::TestDirectoryServer;
using Clock = std::chrono::steady_clock;

const std::string kPartner = "bob@bench.example";
constexpr int kRounds = 9;
constexpr int kPerRound = 300; // requests of each kind per round
constexpr int kWarmUp = 50;

struct Fixture {
    Fixture() : server(options()) {
        server.registerAndLogin(kPartner, "pw", "127.0.0.1", 4242);
        std::string pattern =
            (std::filesystem::temp_directory_path() / "sorvane-bench-XXXXXX").string();
        scratch = mkdtemp(pattern.data());
    }
    ~Fixture() {
        std::error_code ignored;
        std::filesystem::remove_all(scratch, ignored);
    }
    static TestDirectoryServer::Options options() {
        TestDirectoryServer::Options o;
        o.observedAddress = true;
        return o;
    }
    TestDirectoryServer server;
    std::filesystem::path scratch;
};

// Microseconds per call of `request` over `count` calls; a negative value when a reply was wrong.
template <typename Request> double microsecondsEach(int count, Request&& request) {
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i)
        if (!request())
            return -1;
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / count;
}

void Request_CallSite(benchmark::State& state) {
    Fixture f;
    Directory directory(f.server.base(), f.scratch);
    const std::string url = sorvane::directory::address::sendLookup(f.server.base(), kPartner);
    const auto callSite = [&] {
        const sorvane::LineList reply = directory.sendLookup(kPartner);
        return reply.count() == 2 && reply[0] == "127.0.0.1";
    };
    const auto bare = [&] { return sorvane::bench::bareGet(url).rfind("127.0.0.1\r\n", 0) == 0; };
    bool wrong = false;
    const auto checked = [&](double us) {
        wrong = wrong || us < 0;
        return us;
    };
    for (auto _ : state) {
        // The server's caches, the scratch file and libcurl warm before anything counts.
        if (microsecondsEach(kWarmUp, bare) < 0 || microsecondsEach(kWarmUp, callSite) < 0) {
            state.SkipWithError("unexpected reply");
            return;
        }
        const sorvane::bench::Rounds rounds = sorvane::bench::interleave(
            kRounds, [&] { return checked(microsecondsEach(kPerRound, bare)); },
            [&] { return checked(microsecondsEach(kPerRound, callSite)); });
        if (wrong) {
            state.SkipWithError("unexpected reply");
            return;
        }
        rounds.report(state);
        state.SetIterationTime(1);
    }
}

BENCHMARK(Request_CallSite)->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
