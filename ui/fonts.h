#pragma once

class QWidget;

namespace sorvane::ui {

// The windows are laid out for the compact Windows faces "Tahoma" and "MS Sans Serif"; on
// Linux desktops the closest metric-compatible faces stand in for them, so that captions fit
// their controls.
void installFontSubstitutions();

// Decides, once, which face stands in for each of those two where it is not installed (the
// first of the stand-ins installed), as adoptStandInFonts does on its first call; any thread,
// after installFontSubstitutions. A caller meanwhile on another thread waits for the decision.
void decideStandInFonts();

// Gives every control of `window` that asks for one of those faces its stand-in, where the
// face itself is not installed (the desktop's own fallback is often much wider).
void adoptStandInFonts(QWidget* window);

} // namespace sorvane::ui
