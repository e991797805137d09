// The about window: the links' hover looks, opening them through the desktop, and a fresh
// window for every opening.
#include "about.h"
#include "globals.h"
#include "main.h"
#include "tidy_world.h"

#include <QPointer>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

using namespace sorvane::test;

namespace {

enum class Look { Plain, Lit };

Look lookOf(const QLabel* link) {
    const QColor colour = link->palette().color(QPalette::WindowText);
    const QFont font = link->font();
    const bool plain = colour == QColor(0, 0, 255) && !font.underline() && !font.bold() &&
                       !font.italic() && !font.strikeOut();
    const bool lit = colour == QColor(255, 0, 0) && font.underline();
    EXPECT_TRUE(plain || lit) << link->objectName().toStdString();
    return lit ? Look::Lit : Look::Plain;
}

struct AboutWorld : Tidy<ScriptedWorld> {
    AboutWorld() : box(new TAboutBox(context)) {
        box->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(box));
    }
    void pointAt(QWidget* widget, QPoint at = {}) {
        QTest::mouseMove(widget, at.isNull() ? widget->rect().center() : at);
    }
    std::pair<Look, Look> looks() const { return {lookOf(box->ui.Label5), lookOf(box->ui.Label7)}; }
    TAboutBox* box;
};

using Looks = std::pair<Look, Look>;

TEST(AboutWindow, LinksLightUpUnderThePointerOnly) {
    AboutWorld w;
    EXPECT_EQ(w.looks(), Looks(Look::Plain, Look::Plain));
    QFont styled = w.box->ui.Label7->font(); // "plain" empties the whole style
    styled.setBold(true);
    styled.setItalic(true);
    w.box->ui.Label7->setFont(styled);
    w.pointAt(w.box->ui.Label5);
    EXPECT_EQ(w.looks(), Looks(Look::Lit, Look::Plain));
    w.pointAt(w.box->ui.Label7); // straight from one link to the other
    EXPECT_EQ(w.looks(), Looks(Look::Plain, Look::Lit));
    w.pointAt(w.box, {200, 20}); // the background
    EXPECT_EQ(w.looks(), Looks(Look::Plain, Look::Plain));
    w.pointAt(w.box->ui.Label5);
    w.pointAt(w.box->ui.BitBtn1);
    EXPECT_EQ(w.looks(), Looks(Look::Plain, Look::Plain));
}

TEST(AboutWindow, TheLicenceNoteLeavesTheLinksAsTheyWere) {
    AboutWorld w;
    w.pointAt(w.box->ui.Label7);
    w.pointAt(w.box->ui.Label8);
    EXPECT_EQ(w.looks(), Looks(Look::Plain, Look::Lit));
    w.pointAt(w.box->ui.Label2);
    EXPECT_EQ(w.looks(), Looks(Look::Plain, Look::Plain));
}

TEST(AboutWindow, LinksOpenThroughTheDesktop) {
    AboutWorld w;
    QTest::mouseClick(w.box->ui.Label5, Qt::LeftButton);
    QTest::mouseClick(w.box->ui.Label7, Qt::LeftButton);
    QTest::mouseClick(w.box->ui.Label3, Qt::LeftButton);
    EXPECT_EQ(w.desktop.opened,
              (QStringList{"http://www.sorvane.example/", "mailto:support@sorvane.example"}));
}

TEST(AboutWindow, EveryTextFitsTheWindow) {
    AboutWorld w;
    for (QLabel* label : w.box->findChildren<QLabel*>()) {
        EXPECT_LE(label->geometry().right(), w.box->width() - 1) << label->text().toStdString();
        EXPECT_GE(label->width(), label->sizeHint().width()) << label->text().toStdString();
    }
}

TEST(AboutWindow, EveryOpeningIsAFreshWindowFreedOnClose) {
    Tidy<ScriptedWorld> w;
    w.logInAs("me@x.org");
    QList<QPointer<TAboutBox>> opened;
    QList<std::pair<Look, Look>> startLooks;
    for (int i = 0; i < 2; ++i) {
        QTimer::singleShot(0, [&] {
            opened << AboutBox;
            startLooks << std::pair{lookOf(AboutBox->ui.Label5), lookOf(AboutBox->ui.Label7)};
            EXPECT_TRUE(AboutBox->isModal());
            QTest::mouseMove(AboutBox->ui.Label5); // leave it lit
            QTest::keyClick(AboutBox, Qt::Key_Return);
        });
        QTest::mouseClick(w.main->ui.BitBtn2, Qt::LeftButton); // "About...", returns on close
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    ASSERT_EQ(opened.size(), 2);
    EXPECT_TRUE(opened[0].isNull());
    EXPECT_TRUE(opened[1].isNull());
    EXPECT_EQ(AboutBox, nullptr);
    EXPECT_EQ(startLooks[1], Looks(Look::Plain, Look::Plain));
}

} // namespace
