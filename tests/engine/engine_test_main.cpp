// The engine's tests run on one QCoreApplication: its queued calls and signals need an event
// loop, and nothing of it needs a window.
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
