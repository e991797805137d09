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

QString standIn(const QString& family) {
    static const QString chosen = [] {
        for (const QString& face : narrowSans())
            if (QFontDatabase::hasFamily(face))
                return face;
        return QString();
    }();
    if (family != QLatin1String("Tahoma") && family != QLatin1String("MS Sans Serif"))
        return {};
    if (QFontInfo(QFont(family)).family() == family)
        return {}; // the face itself is installed
    return chosen;
}
} // namespace

void installFontSubstitutions() {
    QFont::insertSubstitutions(QStringLiteral("Tahoma"), narrowSans());
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"), narrowSans());
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
