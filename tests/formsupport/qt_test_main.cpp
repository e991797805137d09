// Window tests run on one QApplication, as the program does.
#include "ui/fonts.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Window tests need no screen; ctest sets this too, but listing the tests does not.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sorvane Messenger"));
    QApplication::setQuitOnLastWindowClosed(false);
    sorvane::ui::installFontSubstitutions();
    return RUN_ALL_TESTS();
}
