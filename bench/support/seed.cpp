#include "seed.h"

#include "names.h"

#include "password.h"
#include "postgres_server.h"
#include "postgres_sql.h"
#include "postgres_storage.h"
#include "sql.h"
#include "sqlite_storage.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#ifndef SORVANE_BENCH_DATA_DIR
#error "SORVANE_BENCH_DATA_DIR must name the folder for generated data"
#endif

namespace sorvane::bench {

namespace {

// Bumped whenever the generated accounts change.
constexpr int kGeneratorVersion = 1;
constexpr std::uint64_t kBatch = 20000;
// Accounts per COPY: each batch is one transaction.
constexpr std::uint64_t kCopyBatch = 100000;

void exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error(std::string("seeding: ") + sql + ": " + message);
    }
}

void build(const std::filesystem::path& file, std::uint64_t count) {
    const auto start = std::chrono::steady_clock::now();
    std::filesystem::remove(file);
    std::filesystem::remove(file.string() + "-wal");
    std::filesystem::remove(file.string() + "-shm");
    const std::string hash = server::PasswordHasher(1).hash("pw");
    {
        server::SqliteStorage storage(file.string());
        std::vector<std::pair<std::string, std::string>> batch;
        for (std::uint64_t first = 0; first < count; first += kBatch) {
            batch.clear();
            for (std::uint64_t i = first; i < count && i < first + kBatch; ++i)
                batch.emplace_back(accountName(i), hash);
            storage.importAccounts(batch);
        }
    }
    sqlite3* db = nullptr;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK)
        throw std::runtime_error("seeding: cannot open " + file.string());
    exec(db, "UPDATE users SET ip = '127.0.0.1', port = 1024 + id % 60000, "
             "login_origin = '127.0.0.1'");
    // One file, no write-ahead log left beside it.
    exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
    sqlite3_close(db);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr, "bench: generated %llu accounts in %.0f s into %s\n",
                 static_cast<unsigned long long>(count), seconds, file.c_str());
}

// The benchmarks' cluster. Durable like a production one (fsync stays on), with room to keep
// the table and the lists of name pieces of a million accounts in memory.
test::TestPostgres& benchPostgres() {
    static const std::unique_ptr<test::TestPostgres> cluster = test::TestPostgres::persistent(
        std::string(SORVANE_BENCH_DATA_DIR) + "/postgres",
        {"shared_buffers=1536MB", "max_connections=300", "max_wal_size=4GB"});
    return *cluster;
}

void buildPostgres(test::TestPostgres& cluster, const std::string& name, std::uint64_t count) {
    const auto start = std::chrono::steady_clock::now();
    const std::string admin = cluster.uri("postgres");
    test::TestPostgres::query(admin, "DROP DATABASE IF EXISTS " + name);
    test::TestPostgres::query(admin, "CREATE DATABASE " + name);
    const std::string hash = server::PasswordHasher(1).hash("pw");
    {
        server::PostgresStorage storage(cluster.uri(name));
        std::vector<server::ImportedAccount> batch;
        for (std::uint64_t first = 0; first < count; first += kCopyBatch) {
            batch.clear();
            for (std::uint64_t i = first; i < count && i < first + kCopyBatch; ++i)
                batch.push_back(
                    {accountName(i), hash, "127.0.0.1", static_cast<int>(1024 + (i + 1) % 60000)});
            storage.importAccounts(batch);
        }
    }
    test::TestPostgres::query(cluster.uri(name), "VACUUM ANALYZE");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr, "bench: generated %llu accounts in %.0f s into PostgreSQL database %s\n",
                 static_cast<unsigned long long>(count), seconds, name.c_str());
}

} // namespace

pid_t benchPostgresPid() {
    return benchPostgres().pid();
}

void warmPostgresDirectory(const std::string& uri) {
    // A directory's database keeps what it serves in memory; a freshly started cluster has read
    // nothing yet. pg_prewarm comes with PostgreSQL.
    test::TestPostgres::query(uri, "CREATE EXTENSION IF NOT EXISTS pg_prewarm");
    test::TestPostgres::query(uri, "SELECT pg_prewarm(c.oid) FROM pg_class c "
                                   "JOIN pg_namespace n ON n.oid = c.relnamespace "
                                   "WHERE n.nspname = 'public' AND c.relkind IN ('r', 'i')");
}

std::string cachedPostgresDirectory(std::uint64_t count) {
    test::TestPostgres& cluster = benchPostgres();
    const std::string name = "directory_" + std::to_string(count) + "_schema" +
                             std::to_string(server::pgsql::kSchemaVersion) + "_gen" +
                             std::to_string(kGeneratorVersion);
    const std::string found = test::TestPostgres::query(
        cluster.uri("postgres"), "SELECT datname FROM pg_database WHERE datname = '" + name + "'");
    if (found.empty()) {
        // Built under another name and renamed, so that an interrupted run leaves no half-filled
        // database behind.
        buildPostgres(cluster, name + "_partial", count);
        test::TestPostgres::query(cluster.uri("postgres"),
                                  "ALTER DATABASE " + name + "_partial RENAME TO " + name);
    }
    return cluster.uri(name);
}

std::filesystem::path cachedDirectory(std::uint64_t count) {
    const std::filesystem::path dir = SORVANE_BENCH_DATA_DIR;
    std::filesystem::create_directories(dir);
    const std::string stem = "directory-" + std::to_string(count) + "-schema" +
                             std::to_string(server::sql::kSchemaVersion) + "-gen" +
                             std::to_string(kGeneratorVersion);
    const std::filesystem::path file = dir / (stem + ".db");
    if (std::filesystem::exists(file))
        return file;
    // Built aside and renamed, so that an interrupted run leaves no half-filled file behind.
    const std::filesystem::path partial = dir / (stem + ".partial");
    build(partial, count);
    std::filesystem::rename(partial, file);
    return file;
}

} // namespace sorvane::bench
