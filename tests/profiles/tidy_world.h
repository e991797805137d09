#pragma once
// A world that deletes the windows its test opened before the world's own clean-up runs.
// Only windows: pop-ups (a menu, a combo box's list, the tray menu) are top-level widgets too,
// but each belongs to a window that frees it.
#include "globals.h"
#include "login.h"
#include "main.h"
#include "world.h"

#include <QApplication>
#include <QPointer>
#include <QWidget>

namespace sorvane::test {

inline void deleteOpenedWindows() {
    QList<QPointer<QWidget>> opened;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<sorvane::ui::Form*>(w) && !w->parentWidget() && w != Form1 && w != Form3)
            opened << w;
    for (const QPointer<QWidget>& w : opened)
        delete w.data();
}

template <class Base> struct Tidy : Base {
    using Base::Base;
    ~Tidy() { deleteOpenedWindows(); }
};

} // namespace sorvane::test
