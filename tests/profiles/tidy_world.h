#pragma once
// A world that deletes the windows its test opened before the world's own clean-up runs.
// That clean-up walks a snapshot of the top-level widgets, and pop-ups owned by a window (a
// menu, a combo box's list) are top-level widgets freed along with their window, so the
// snapshot can name them after they are gone.
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
        if (!w->parentWidget() && w != Form1 && w != Form3)
            opened << w;
    for (const QPointer<QWidget>& w : opened)
        delete w.data();
}

template <class Base> struct Tidy : Base {
    using Base::Base;
    ~Tidy() { deleteOpenedWindows(); }
};

} // namespace sorvane::test
