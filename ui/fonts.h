#pragma once

class QWidget;

namespace sorvane::ui {

// The windows are laid out for the compact Windows faces "Tahoma" and "MS Sans Serif"; on
// Linux desktops the closest metric-compatible faces stand in for them, so that captions fit
// their controls.
void installFontSubstitutions();

// Gives every control of `window` that asks for one of those faces its stand-in, where the
// face itself is not installed (the desktop's own fallback is often much wider).
void adoptStandInFonts(QWidget* window);

} // namespace sorvane::ui
