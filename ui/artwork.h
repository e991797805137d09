#pragma once
// The program's pictures, drawn in code so that nothing needs to be shipped or downloaded.
#include <QIcon>
#include <QPixmap>

namespace sorvane::ui::artwork {

QIcon programIcon();    // two speech bubbles
QPixmap personAdd();    // a person with a green plus sign (add friend)
QPixmap personArrow();  // a person with an orange arrow (send message)
QPixmap personCross();  // a person with a red cross (delete)
QPixmap personPencil(); // a person with a pencil (view information)
QPixmap searchAdd();    // a small green plus (add from the search results)
QPixmap lockClosed();   // a closed golden padlock (lines sealed and signed)
QPixmap lockOpen();     // an open grey padlock (lines go plain)

} // namespace sorvane::ui::artwork
