#pragma once
// The frame a window manager draws around a top-level window (title bar and
// borders), known before the window is first shown, so that a window can be
// placed by its outer size from its first showing on.

#include <QMargins>
#include <QPoint>

class QWidget;

namespace windowframe {

// The window's frame: the one it has when it is shown in its frame, else
// the one the window manager will draw (asked on X11 through
// _NET_REQUEST_FRAME_EXTENTS, answered within half a second); none where no
// window manager answers.
QMargins of(QWidget *window);

// Places the window so that its outer rectangle, frame included, has its top
// left corner at the given point of the screen.
void placeOuter(QWidget *window, const QPoint &at);

} // namespace windowframe
