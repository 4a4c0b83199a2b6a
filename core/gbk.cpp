#include "core/gbk.h"

#include "platform/gbkcodec.h"

namespace gbk {

QByteArray encode(const QString &text, bool *ok) {
  bool encoded = false;
  QByteArray bytes = gbkcodec::encode(text, &encoded);
  if (ok)
    *ok = encoded;
  return bytes;
}

QString decode(const QByteArray &bytes) {
  // A converter holds back a lead byte at the very end, waiting for its
  // second half: find it and let it stand as U+FFFD.
  qsizetype whole = 0;
  while (whole < bytes.size()) {
    uchar lead = uchar(bytes.at(whole));
    qsizetype size = lead >= 0x81 && lead <= 0xFE ? 2 : 1;
    if (whole + size > bytes.size())
      break;
    whole += size;
  }
  QString text = gbkcodec::decode(bytes.first(whole));
  if (whole < bytes.size())
    text += QChar(QChar::ReplacementCharacter);
  return text;
}

bool encodable(const QString &text) {
  bool ok = false;
  encode(text, &ok);
  return ok;
}

int byteLength(const QString &text) {
  // Faster path for the common case of ASCII-only text.
  bool ascii = true;
  for (QChar c : text)
    if (c.unicode() >= 0x80) {
      ascii = false;
      break;
    }
  if (ascii)
    return int(text.size());
  return int(encode(text).size());
}

QString bytesAt(const QString &text, int pos, int count) {
  // Walk the characters with their byte offsets: a character wholly inside
  // the range is taken as it is, one cut by either end of the range stands as
  // U+FFFD. (Decoding the cut bytes instead would drop a trailing half and
  // join two halves into an unrelated character.)
  const qsizetype from = qMax(pos, 1) - 1;
  const qsizetype to = from + qMax(count, 0);
  QString out;
  qsizetype offset = 0;
  for (qsizetype i = 0; i < text.size() && offset < to;) {
    qsizetype units = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
    QString ch = text.mid(i, units);
    qsizetype size = ch.at(0).unicode() < 0x80 ? 1 : encode(ch).size();
    qsizetype end = offset + size;
    if (offset >= from && end <= to)
      out += ch;
    else if (end > from)
      out += QChar(QChar::ReplacementCharacter);
    offset = end;
    i += units;
  }
  return out;
}

QString trim(const QString &text) {
  qsizetype first = 0;
  qsizetype last = text.size();
  while (first < last && text.at(first).unicode() <= 0x20)
    ++first;
  while (last > first && text.at(last - 1).unicode() <= 0x20)
    --last;
  return text.mid(first, last - first);
}

} // namespace gbk
