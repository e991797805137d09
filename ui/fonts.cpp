#include "fonts.h"

#include <QFont>
#include <QFontDatabase>
#include <QFontInfo>
#include <QStringList>
#include <QWidget>

namespace sorvane::ui {

namespace {
const QStringList& narrowSans() {
    static const QStringList faces = {
        QStringLiteral("Liberation Sans"),       QStringLiteral("Arimo"),
        QStringLiteral("Nimbus Sans"),           QStringLiteral("Arial"),
        QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("DejaVu Sans")};
    return faces;
}

const QString kTahoma = QStringLiteral("Tahoma");
const QString kMsSansSerif = QStringLiteral("MS Sans Serif");

// For each of the two faces, what stands in for it: nothing where the face is installed.
struct StandIns {
    QString tahoma;
    QString msSansSerif;
};

StandIns decide() {
    QString chosen;
    for (const QString& face : narrowSans())
        if (QFontDatabase::hasFamily(face)) {
            chosen = face;
            break;
        }
    const auto forFace = [&chosen](const QString& family) {
        return QFontInfo(QFont(family)).family() == family ? QString() : chosen;
    };
    return {forFace(kTahoma), forFace(kMsSansSerif)};
}

// Decided once: a caller on another thread meanwhile waits for the decision under way.
const StandIns& standIns() {
    static const StandIns decided = decide();
    return decided;
}

QString standIn(const QString& family) {
    if (family == kTahoma)
        return standIns().tahoma;
    if (family == kMsSansSerif)
        return standIns().msSansSerif;
    return {};
}
} // namespace

void decideStandInFonts() {
    standIns();
}

void installFontSubstitutions() {
    QFont::insertSubstitutions(kTahoma, narrowSans());
    QFont::insertSubstitutions(kMsSansSerif, narrowSans());
}

void adoptStandInFonts(QWidget* window) {
    QList<QWidget*> widgets = window->findChildren<QWidget*>();
    widgets.prepend(window);
    for (QWidget* w : widgets) {
        if (!w->testAttribute(Qt::WA_SetFont) && w != window)
            continue; // inherits its parent's, which is adjusted itself
        const QString face = standIn(w->font().family());
        if (face.isEmpty())
            continue;
        QFont font = w->font();
        font.setFamily(face);
        w->setFont(font);
    }
}

} // namespace sorvane::ui
