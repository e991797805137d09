#pragma once
// The program's pictures, drawn in code so that nothing needs to be shipped or downloaded.
#include <QIcon>
#include <QPixmap>

namespace sorvane::ui::artwork {

QIcon programIcon(); // two speech bubbles, in six sizes; user-interface thread
// Draws the program icon's pictures, once, on any thread: the start-up has them drawn on a
// thread of its own while it builds its windows, and programIcon() then waits for them if need
// be. Without it, programIcon() draws them itself.
void drawProgramIconAhead();
QPixmap personAdd();    // a person with a green plus sign (add friend)
QPixmap personArrow();  // a person with an orange arrow (send message)
QPixmap personCross();  // a person with a red cross (delete)
QPixmap personPencil(); // a person with a pencil (view information)
QPixmap searchAdd();    // a small green plus (add from the search results)
QPixmap lockClosed();   // a closed golden padlock (lines sealed and signed)
QPixmap lockOpen();     // an open grey padlock (lines go plain)

} // namespace sorvane::ui::artwork
