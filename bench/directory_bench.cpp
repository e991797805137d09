// One directory request at a call site (GetInetFile into the scratch file, then the read-back
// as a line list) next to a bare libcurl GET of the same address into memory, against the real
// directory server on loopback.
#include "directory/directory.h"
#include "directory_server.h"
#include "loopback.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>

namespace {

using sorvane::directory::Directory;
using sorvane::test::TestDirectoryServer;

const std::string kPartner = "bob@bench.example";

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

Fixture& fixture() {
    static Fixture f;
    return f;
}

void Request_CallSite(benchmark::State& state) {
    Fixture& f = fixture();
    Directory directory(f.server.base(), f.scratch);
    for (auto _ : state) {
        const sorvane::LineList reply = directory.sendLookup(kPartner);
        if (reply.count() != 2 || reply[0] != "127.0.0.1") {
            state.SkipWithError("unexpected reply");
            break;
        }
    }
}

void Request_BareLibcurlGet(benchmark::State& state) {
    Fixture& f = fixture();
    const std::string url = sorvane::directory::address::sendLookup(f.server.base(), kPartner);
    for (auto _ : state) {
        const std::string body = sorvane::bench::bareGet(url);
        if (body.rfind("127.0.0.1\r\n", 0) != 0) {
            state.SkipWithError("unexpected reply");
            break;
        }
    }
}

// Repeated, and interleaved by the runner, so that drift of the machine touches both alike.
BENCHMARK(Request_CallSite)
    ->MinTime(0.5)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(Request_BareLibcurlGet)
    ->MinTime(0.5)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
