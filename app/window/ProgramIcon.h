// The program's own icon: drawn in code so that the project ships no image files. The same
// picture serves the window, the tray, the About box and the icon files of the package
// (icon_export.cpp paints it into an SVG and PNGs at build time).
#pragma once

#include <QIcon>
#include <QPixmap>

class QPainter;

// Paints the icon into the square (0, 0, size, size) of any paint device.
void PaintProgramIcon(QPainter& painter, double size);

// Called on the main thread only (QPixmap needs the GUI thread).
QPixmap ProgramIconPixmap(int size);
QIcon ProgramIcon();
