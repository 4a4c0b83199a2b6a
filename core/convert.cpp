#include "core/convert.h"

ConvertError::ConvertError(const QString &message) : std::runtime_error(message.toStdString()) {}

QString ConvertError::message() const { return QString::fromStdString(what()); }

int strToInt(const QString &text) {
  auto fail = [&]() -> int { throw ConvertError(QStringLiteral("'%1' is not a valid integer value").arg(text)); };
  qsizetype i = 0;
  while (i < text.size() && text.at(i) == QLatin1Char(' '))
    ++i;
  bool negative = false;
  if (i < text.size() && (text.at(i) == QLatin1Char('-') || text.at(i) == QLatin1Char('+'))) {
    negative = text.at(i) == QLatin1Char('-');
    ++i;
  }
  int base = 10;
  if (i < text.size() && text.at(i) == QLatin1Char('$')) {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text.at(i) == QLatin1Char('0') &&
             (text.at(i + 1) == QLatin1Char('x') || text.at(i + 1) == QLatin1Char('X'))) {
    base = 16;
    i += 2;
  }
  if (i >= text.size())
    return fail();
  qint64 value = 0;
  for (; i < text.size(); ++i) {
    int digit = -1;
    char16_t c = text.at(i).unicode();
    if (c >= u'0' && c <= u'9')
      digit = c - u'0';
    else if (base == 16 && c >= u'a' && c <= u'f')
      digit = c - u'a' + 10;
    else if (base == 16 && c >= u'A' && c <= u'F')
      digit = c - u'A' + 10;
    if (digit < 0)
      return fail();
    value = value * base + digit;
    if (value > qint64(INT_MAX) + 1)
      return fail();
  }
  if (negative)
    value = -value;
  if (value > INT_MAX || value < INT_MIN)
    return fail();
  return int(value);
}

QString errorBoxText(const QString &exceptionText) {
  if (!exceptionText.isEmpty() && exceptionText.back() > QLatin1Char('.'))
    return exceptionText + QLatin1Char('.');
  return exceptionText;
}
