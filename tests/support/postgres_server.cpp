#include "postgres_server.h"

#include "process.h"

#include <libpq-fe.h>

#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#ifndef SORVANE_POSTGRES_BINDIR
#error "SORVANE_POSTGRES_BINDIR must name the folder of initdb and postgres (may be empty)"
#endif
#ifndef SORVANE_TEST_POSTGRES_CACHE
#error "SORVANE_TEST_POSTGRES_CACHE must name a folder for the cluster copied by every test"
#endif

namespace sorvane::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void chownTree(const fs::path& root, uid_t uid, gid_t gid) {
    if (::lchown(root.c_str(), uid, gid) != 0)
        throw std::runtime_error("cannot hand " + root.string() + " to the database user");
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (::lchown(entry.path().c_str(), uid, gid) != 0)
            throw std::runtime_error("cannot hand " + entry.path().string() +
                                     " to the database user");
}

std::string binary(const char* name) {
    return std::string(SORVANE_POSTGRES_BINDIR) + "/" + name;
}

void initdb(const std::string& data, uid_t uid, gid_t gid, const std::string& log) {
    const pid_t pid = spawnLogged({binary("initdb"), "-D", data, "--no-sync", "--auth=trust",
                                   "--username=postgres", "--encoding=UTF8", "--locale=C.UTF-8"},
                                  uid, gid, log, SIGKILL);
    if (waitExit(pid) != 0)
        throw std::runtime_error("initdb failed:\n" + readFile(log));
}

// The cluster every test process copies, made once per build tree under a
// lock, since two test processes may ask for it at the same moment.
void copyTemplate(const std::string& work, const std::string& data, uid_t uid, gid_t gid) {
    const fs::path cache = SORVANE_TEST_POSTGRES_CACHE;
    fs::create_directories(cache);
    const int lock = ::open((cache / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0)
        throw std::runtime_error("cannot lock " + cache.string());
    struct Unlock {
        int fd;
        ~Unlock() { ::close(fd); }
    } unlock{lock};

    const fs::path templ = cache / "cluster";
    if (!fs::exists(templ / "PG_VERSION")) {
        fs::remove_all(templ);
        // initdb writes as the database user, into the work folder it owns.
        const std::string made = work + "/template";
        initdb(made, uid, gid, work + "/initdb.log");
        fs::copy(made, templ.string() + ".partial", fs::copy_options::recursive);
        fs::rename(templ.string() + ".partial", templ);
        fs::remove_all(made);
    }
    fs::copy(templ, data, fs::copy_options::recursive);
    fs::permissions(data, fs::perms::owner_all, fs::perm_options::replace);
    chownTree(data, uid, gid);
}

std::unique_ptr<TestPostgres>& instance() {
    static std::unique_ptr<TestPostgres> shared;
    return shared;
}

} // namespace

TestPostgres* TestPostgres::shared(std::string* whyNot) {
    static std::string failure;
    auto& pg = instance();
    if (!pg && failure.empty()) {
        if (std::string(SORVANE_POSTGRES_BINDIR).empty() || !fs::exists(binary("initdb")) ||
            !fs::exists(binary("postgres"))) {
            failure = "PostgreSQL is not installed (Debian packages postgresql and "
                      "postgresql-contrib; scripts/deps.sh installs them)";
        } else {
            try {
                std::unique_ptr<TestPostgres> made(new TestPostgres);
                // The test data is thrown away afterwards: nothing needs to reach the disk.
                made->settings_ = {"fsync=off", "synchronous_commit=off", "full_page_writes=off",
                                   "max_connections=300"};
                made->create({});
                pg = std::move(made);
            } catch (const std::exception& e) {
                failure = std::string("PostgreSQL did not start: ") + e.what();
            }
        }
    }
    if (!pg && whyNot)
        *whyNot = failure;
    return pg.get();
}

std::unique_ptr<TestPostgres> TestPostgres::persistent(const std::string& dataFolder,
                                                       std::vector<std::string> settings) {
    std::unique_ptr<TestPostgres> made(new TestPostgres);
    made->settings_ = std::move(settings);
    made->create(fs::absolute(dataFolder).string());
    return made;
}

void TestPostgres::create(const std::string& dataFolder) {
    uid_ = ::geteuid();
    gid_ = ::getegid();
    if (uid_ == 0) {
        // PostgreSQL will not run as root.
        const passwd* user = ::getpwnam("postgres");
        if (!user)
            user = ::getpwnam("nobody");
        if (!user)
            throw std::runtime_error("no user 'postgres' or 'nobody' to run it as");
        uid_ = user->pw_uid;
        gid_ = user->pw_gid;
    }
    std::string pattern = (fs::temp_directory_path() / "sorvane-postgres-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    data_ = dataFolder.empty() ? dir_ + "/data" : dataFolder;
    try {
        if (::chown(dir_.c_str(), uid_, gid_) != 0)
            throw std::runtime_error("cannot hand " + dir_ + " to the database user");
        if (dataFolder.empty()) {
            copyTemplate(dir_, data_, uid_, gid_);
        } else if (!fs::exists(fs::path(data_) / "PG_VERSION")) {
            fs::remove_all(data_);
            fs::create_directories(data_);
            fs::permissions(data_, fs::perms::owner_all, fs::perm_options::replace);
            chownTree(data_, uid_, gid_);
            initdb(data_, uid_, gid_, dir_ + "/initdb.log");
        }
        start();
    } catch (...) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
        throw;
    }
}

TestPostgres::~TestPostgres() {
    stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

void TestPostgres::start() {
    if (pid_ > 0)
        return;
    const std::string log = dir_ + "/postgres.log";
    std::vector<std::string> argv = {binary("postgres"),
                                     "-D",
                                     data_,
                                     "-c",
                                     "listen_addresses=",
                                     "-c",
                                     "unix_socket_directories=" + dir_};
    for (const std::string& setting : settings_) {
        argv.push_back("-c");
        argv.push_back(setting);
    }
    // SIGQUIT on the death of the test: an immediate stop.
    pid_ = spawnLogged(argv, uid_, gid_, log, SIGQUIT);
    const std::string conninfo = uri("postgres");
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (PQping(conninfo.c_str()) != PQPING_OK) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("postgres exited:\n" + readFile(log));
        }
        if (Clock::now() > deadline) {
            stop();
            throw std::runtime_error("postgres did not answer:\n" + readFile(log));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void TestPostgres::stop() {
    if (pid_ <= 0)
        return;
    // SIGINT: a fast shutdown, which disconnects every client.
    stopChild(pid_, SIGINT, 20);
    pid_ = -1;
}

std::string TestPostgres::uri(const std::string& name) const {
    return "postgresql:///" + name + "?host=" + dir_ + "&user=postgres";
}

std::string TestPostgres::createDatabase() {
    const std::string name = "directory" + std::to_string(++databases_);
    query(uri("postgres"), "CREATE DATABASE " + name);
    return uri(name);
}

std::string TestPostgres::query(const std::string& uri, const std::string& sql) {
    std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdb(uri.c_str()), PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK)
        throw std::runtime_error("cannot connect to " + uri + ": " + PQerrorMessage(conn.get()));
    std::unique_ptr<PGresult, void (*)(PGresult*)> result(PQexec(conn.get(), sql.c_str()), PQclear);
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
        throw std::runtime_error(sql + ": " + PQresultErrorMessage(result.get()));
    std::string out;
    for (int row = 0; row < PQntuples(result.get()); ++row)
        out.append(PQgetvalue(result.get(), row, 0)).append("\n");
    return out;
}

} // namespace sorvane::test
