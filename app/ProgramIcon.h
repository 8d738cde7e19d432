// The program's own icon: drawn in code so that the project ships no image files. The same
// picture serves the window, the tray and the About box.
#pragma once

#include <QIcon>
#include <QPixmap>

// Called on the main thread only (QPixmap needs the GUI thread).
QPixmap ProgramIconPixmap(int size);
QIcon ProgramIcon();
