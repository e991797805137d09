#pragma once
// What the engine's tests share: a directory client aimed at a scripted directory, its scratch
// files in a folder of their own.
#include "directory/directory.h"
#include "scripted_directory.h"

#include <QTemporaryDir>
#include <QTest>

#include <chrono>

namespace sorvane::test {

struct ScriptedClient {
    ScriptedDirectory scripted;
    QTemporaryDir scratch;
    directory::Directory directory{scripted.base(), scratch.path().toStdString()};
};

// Lets the event loop run until `done` holds or `timeout` passes; returns `done()`.
template <typename Done>
bool waitFor(Done done, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    return QTest::qWaitFor(done, static_cast<int>(timeout.count()));
}

} // namespace sorvane::test
