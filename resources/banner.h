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

// The banner of the main window (a null image if its stream is damaged).
QImage image();

} // namespace banner
