#include "core/gbk.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace gbk {

QByteArray encode(const QString &text, bool *ok) {
  QStringEncoder encoder("GBK");
  QByteArray bytes = encoder.encode(text);
  if (ok)
    *ok = encoder.isValid() && !encoder.hasError();
  return bytes;
}

QString decode(const QByteArray &bytes) {
  QStringDecoder decoder("GBK");
  QString text = decoder.decode(bytes);
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
  QByteArray bytes = encode(text);
  int from = qMax(pos, 1) - 1;
  if (from >= bytes.size() || count <= 0)
    return QString();
  return decode(bytes.mid(from, count));
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

LimitValidator::LimitValidator(int maxBytes, QObject *parent) : QValidator(parent), m_maxBytes(maxBytes) {}

QValidator::State LimitValidator::validate(QString &input, int &) const {
  bool ok = false;
  QByteArray bytes = encode(input, &ok);
  if (!ok || bytes.size() > m_maxBytes)
    return Invalid;
  return Acceptable;
}

} // namespace gbk
