#pragma once

// A real PostgreSQL server for tests: a cluster of its own in a temporary
// folder, reached through a Unix socket in that folder only (no TCP port).
// PostgreSQL refuses to run as root, so when the tests run as root it runs
// as the system user "postgres" (or "nobody" where there is none).
//
//   sorvane::test::TestPostgres* pg = sorvane::test::TestPostgres::shared(&why);
//   if (!pg) GTEST_SKIP() << why;
//   std::string uri = pg->createDatabase();   // for sorvane-directory --db
//
// One cluster per test process, started on first use from a copy of a
// cluster made once per build tree, and stopped when the process exits (or
// dies: the server gets the parent-death signal).

#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

namespace sorvane::test {

class TestPostgres {
public:
    // This process's cluster, started if need be. Null when PostgreSQL
    // cannot run here, with the reason in `whyNot`.
    static TestPostgres* shared(std::string* whyNot = nullptr);

    // A cluster kept in `dataFolder` (made there when missing) for data that
    // outlives the process, such as the benchmarks' generated directories;
    // its socket is in a temporary folder. `settings` are the server's
    // name=value settings. Throws std::runtime_error when it cannot start.
    static std::unique_ptr<TestPostgres> persistent(const std::string& dataFolder,
                                                    std::vector<std::string> settings);

    ~TestPostgres();
    TestPostgres(const TestPostgres&) = delete;
    TestPostgres& operator=(const TestPostgres&) = delete;

    // A new empty database; returns its URI.
    std::string createDatabase();
    // The URI of database `name` in this cluster.
    std::string uri(const std::string& name) const;
    // Runs `sql` on the database at `uri` and returns the first column of
    // every row, each followed by "\n". Throws std::runtime_error on failure.
    static std::string query(const std::string& uri, const std::string& sql);

    // A fast shutdown: every connection is closed. start() brings the same
    // cluster back on the same socket.
    void stop();
    void start();
    bool running() const { return pid_ > 0; }
    // The server's main process; its connections are its children.
    pid_t pid() const { return pid_; }
    const std::string& folder() const { return dir_; }

private:
    TestPostgres() = default;
    void create(const std::string& dataFolder);

    std::vector<std::string> settings_;
    std::string dir_;
    std::string data_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    pid_t pid_ = -1;
    int databases_ = 0;
};

} // namespace sorvane::test
