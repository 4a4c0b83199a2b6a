#pragma once
// The command-line tools' output and error streams. Where they are a
// Windows console the text goes to it as wide characters, so that Chinese
// text shows as such whatever the console's code page, and takes its two
// columns; elsewhere (a terminal, a file, a pipe) it is written as UTF-8.

#include <QTextStream>

namespace console {

QTextStream &out();
QTextStream &err();

// Readies a command-line program for drawing into a file (a PDF) without
// showing a window: on Linux the offscreen platform, which needs no display;
// on Windows the system's own, which always has a desktop and alone knows
// the installed fonts. Call before the application object is made.
void prepareDrawing();

} // namespace console
