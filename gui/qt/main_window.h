// The main window's furnishings, added to its template's empty window: the menu bar, the
// picture filling the client area, the icon, and the About entry the window system's own menu
// cannot carry here (it is offered in the window's context menu instead).
#pragma once

#include <QDialog>
#include <QFont>
#include <QSize>

#include <functional>

namespace vorngui::qt {

// Pixels of a size given in dialog units of `font`: x * average character width / 4 and
// y * character height / 8, as the window system lays out dialog templates.
QSize dialogUnitsToPixels(const QFont& font, int x, int y);

// The client area of the main window, in dialog units.
inline constexpr int kMainWidthUnits = 325;
inline constexpr int kMainHeightUnits = 271;

// Furnishes `window`: `onMenu` receives the command id of every menu item chosen, and
// `onSystemAbout` the context menu's About entry.
void furnishMainWindow(QDialog& window, const std::function<void(int)>& onMenu,
                       const std::function<void()>& onSystemAbout);

} // namespace vorngui::qt
