#pragma once
// Code page 936 (GBK) conversion as the platform provides it: ICU's GBK
// converter through Qt where Qt has ICU (Linux), Windows' own code page 936
// elsewhere. Both give the same bytes for every character of the Basic
// Multilingual Plane; U+FEFF (the byte-order mark), which ICU drops, is
// refused by both.

#include <QByteArray>
#include <QString>

namespace gbkcodec {

// The GBK bytes of the text; ok is false, and the bytes are not to be used,
// when a character has no GBK form or the text holds a lone surrogate.
QByteArray encode(const QString &text, bool *ok);

// The text of whole GBK characters. A byte sequence that is not a GBK
// character stands as U+FFFD.
QString decode(const QByteArray &bytes);

} // namespace gbkcodec
