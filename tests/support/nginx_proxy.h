#pragma once

// A real nginx as the reverse proxy in front of directory servers, for tests
// and benchmarks: its own prefix, configuration, pid and log files in a
// temporary folder, listening on a free loopback port and passing
// /messenger/ to the given servers in turn, with X-Forwarded-For set as an
// admin's site would (proxy_add_x_forwarded_for).
//
//   std::string why;
//   if (!sorvane::test::TestNginx::available(&why)) GTEST_SKIP() << why;
//   sorvane::test::TestNginx nginx({first.port(), second.port()});
//   httpGet(nginx.port(), "/messenger/g.php?u=ann");
//
// Like the directory servers, nginx dies with the thread that started it.

#include <string>
#include <vector>

#include <sys/types.h>

namespace sorvane::test {

class TestNginx {
public:
    // False, with the reason, when nginx is not installed.
    static bool available(std::string* whyNot = nullptr);

    // Starts nginx and returns once it answers; throws std::runtime_error
    // with its error log when it does not.
    explicit TestNginx(const std::vector<int>& upstreamPorts);
    ~TestNginx();
    TestNginx(const TestNginx&) = delete;
    TestNginx& operator=(const TestNginx&) = delete;

    int port() const { return port_; }
    // The master process; its workers are its children.
    pid_t pid() const { return pid_; }
    std::string errorLog() const;

private:
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

} // namespace sorvane::test
