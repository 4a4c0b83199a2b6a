#pragma once
// The main window's banner picture, a JPEG stored with its layout and decoded
// with libjpeg.

#include <QByteArray>
#include <QImage>
#include <QString>

namespace banner {

// Decodes a JPEG stream into an RGB32 image (the pixmaps' own format). Damaged or foreign data gives a
// null image and, in error, libjpeg's message; it never ends the program.
QImage decodeJpeg(const QByteArray &jpeg, QString *error = nullptr);

// Starts decoding the banner on a thread of its own, so that it is ready by
// the time the main window needs it (the program entry calls it first).
void decodeAhead();
// The banner of the main window (a null image if its stream is damaged);
// waits for the decoding started ahead, if any.
QImage image();

} // namespace banner
