#pragma once
// Text as the store and the guardian's limits count it: bytes of code page
// 936 (GBK). A Chinese character is two bytes, ASCII one. Qt holds the text as
// Unicode; every length, limit and byte position goes through these helpers.

#include <QByteArray>
#include <QString>

namespace gbk {

// The GBK bytes of the text; ok is false when a character has no GBK form.
QByteArray encode(const QString &text, bool *ok = nullptr);
QString decode(const QByteArray &bytes);

// True when every character of the text has a GBK form.
bool encodable(const QString &text);

// Length of the text in GBK bytes.
int byteLength(const QString &text);

// The count bytes from 1-based byte position pos (both clamped to the text),
// as text. A position that splits a Chinese character yields U+FFFD for the
// half.
QString bytesAt(const QString &text, int pos, int count);

// Leading and trailing bytes of value 0x20 or below removed; a full-width
// space (U+3000) stays.
QString trim(const QString &text);

} // namespace gbk
