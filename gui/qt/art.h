// The utility's pictures from the resources: the main window's picture (bitmap 141, 8 bits per
// pixel, indexed) and the application icon (icon 128).
#pragma once

#include <QIcon>
#include <QImage>

namespace vorngui::qt {

// The main window's picture as stored: 488x439 pixels, indexed 8-bit.
QImage mainPicture();
// The application icon in its 16x16 and 32x32 sizes.
QIcon applicationIcon();

} // namespace vorngui::qt
