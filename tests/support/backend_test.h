#pragma once

// Server tests that run once on each database the directory can store in:
//
//   class DirectoryHttp : public sorvane::test::BackendTest {};
//   TEST_P(DirectoryHttp, Something) { TestDirectoryServer server(serverOptions()); ... }
//   SORVANE_ON_EVERY_BACKEND(DirectoryHttp);
//
// On PostgreSQL every server gets a new database in the test process's own
// cluster; where PostgreSQL cannot run, those cases are skipped with the reason.

#include "directory_server.h"
#include "postgres_server.h"

#include <gtest/gtest.h>

#include <string>

namespace sorvane::test {

enum class Backend { SQLite, PostgreSQL };

class BackendTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        if (GetParam() == Backend::PostgreSQL) {
            std::string whyNot;
            postgres_ = TestPostgres::shared(&whyNot);
            if (!postgres_)
                GTEST_SKIP() << whyNot;
        }
    }

    bool onPostgres() const { return GetParam() == Backend::PostgreSQL; }
    TestPostgres& postgres() const { return *postgres_; }

    // `options` with a database of the backend: a SQLite file of the
    // server's own, or a new PostgreSQL database.
    TestDirectoryServer::Options serverOptions(TestDirectoryServer::Options options = {}) {
        if (onPostgres())
            options.database = postgres_->createDatabase();
        return options;
    }

private:
    TestPostgres* postgres_ = nullptr;
};

inline std::string backendName(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::SQLite ? "SQLite" : "PostgreSQL";
}

} // namespace sorvane::test

#define SORVANE_ON_EVERY_BACKEND(suite)                                                            \
    INSTANTIATE_TEST_SUITE_P(                                                                      \
        Backends, suite,                                                                           \
        ::testing::Values(::sorvane::test::Backend::SQLite, ::sorvane::test::Backend::PostgreSQL), \
        ::sorvane::test::backendName)
