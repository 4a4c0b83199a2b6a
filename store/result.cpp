#include "store/result.h"

#include <QDateTime>
#include <cstring>
#include <limits>

namespace {

// The digits of text[from, from + count) as a number; -1 when one is not a digit.
int digits(const QString &text, int from, int count) {
  int value = 0;
  for (int i = from; i < from + count; ++i) {
    const char16_t c = text.at(i).unicode();
    if (c < u'0' || c > u'9')
      return -1;
    value = value * 10 + (c - u'0');
  }
  return value;
}

// stampOf with the last answer kept: a local QDateTime costs a time-zone
// look-up, and the rows of a result mostly carry the same filing day.
QDateTime cachedStampOf(const QString &text) {
  static thread_local QString lastText;
  static thread_local QDateTime lastValue;
  if (text != lastText) {
    lastValue = result::stampOf(text);
    lastText = text;
  }
  return lastValue;
}

QVariant realOf(QByteArrayView bytes) {
  bool ok = false;
  const double value = bytes.toDouble(&ok);
  if (ok)
    return QVariant(value);
  if (bytes == "Infinity")
    return QVariant(std::numeric_limits<double>::infinity());
  if (bytes == "-Infinity")
    return QVariant(-std::numeric_limits<double>::infinity());
  return QVariant(std::numeric_limits<double>::quiet_NaN());
}

// A date-time text with a zone or finer than milliseconds, as Qt reads it.
QVariant zonedStampOf(QByteArrayView bytes) {
  const QString text = QString::fromLatin1(bytes);
  const QDateTime plain = cachedStampOf(text);
  if (plain.isValid())
    return plain;
  QString zoned = text;
  if (zoned.size() > 3 && (zoned.at(zoned.size() - 3) == u'+' || zoned.at(zoned.size() - 3) == u'-'))
    zoned += QStringLiteral(":00");
  return QVariant(QDateTime::fromString(zoned, Qt::ISODate).toLocalTime());
}

QVariant textValue(ResultRow::Kind kind, const char *data, int size) {
  const QByteArrayView bytes(data, size);
  switch (kind) {
  case ResultRow::Kind::Text: return QString::fromUtf8(bytes);
  case ResultRow::Kind::StampOrText: {
    const QString text = QString::fromUtf8(bytes);
    const QDateTime parsed = cachedStampOf(text);
    return parsed.isValid() ? QVariant(parsed) : QVariant(text);
  }
  case ResultRow::Kind::ExactStamp: {
    const QString text = QString::fromUtf8(bytes);
    if (size == 19) {
      const QDateTime parsed = cachedStampOf(text);
      if (parsed.isValid())
        return parsed;
    }
    return text;
  }
  case ResultRow::Kind::Bool: return QVariant(size > 0 && data[0] == 't');
  case ResultRow::Kind::Int: return QVariant(bytes.toInt());
  case ResultRow::Kind::LongLong:
    return size > 0 && data[0] == '-' ? QVariant(qlonglong(bytes.toLongLong()))
                                      : QVariant(qulonglong(bytes.toULongLong()));
  case ResultRow::Kind::Double: return realOf(bytes);
  case ResultRow::Kind::Date: return QDateTime(QDate::fromString(QString::fromLatin1(bytes), Qt::ISODate), QTime(0, 0));
  case ResultRow::Kind::Time: return QVariant(QTime::fromString(QString::fromLatin1(bytes), Qt::ISODate));
  case ResultRow::Kind::Stamp: return zonedStampOf(bytes);
  }
  return QVariant();
}

} // namespace

namespace result {

QDateTime stampOf(const QString &text) {
  const int size = int(text.size());
  if (size != 10 && size != 19 && (size < 21 || size > 23))
    return QDateTime();
  if (text.at(4) != u'-' || text.at(7) != u'-')
    return QDateTime();
  const QDate date(digits(text, 0, 4), digits(text, 5, 2), digits(text, 8, 2));
  if (!date.isValid())
    return QDateTime();
  if (size == 10)
    return QDateTime(date, QTime(0, 0));
  if ((text.at(10) != u' ' && text.at(10) != u'T') || text.at(13) != u':' || text.at(16) != u':')
    return QDateTime();
  int ms = 0;
  if (size > 19) {
    ms = text.at(19) == u'.' ? digits(text, 20, size - 20) : -1;
    for (int i = size; i < 23 && ms >= 0; ++i)
      ms *= 10; // .1 is 100 ms
  }
  const QTime time(digits(text, 11, 2), digits(text, 14, 2), digits(text, 17, 2), ms);
  return time.isValid() ? QDateTime(date, time) : QDateTime();
}

QVariant normalised(const QVariant &value) {
  if (value.isNull())
    return QVariant();
  if (value.typeId() == QMetaType::QDate)
    return QDateTime(value.toDate(), QTime(0, 0));
  return value;
}

} // namespace result

void ResultRow::reserve(int columns, int bytes) {
  m_cells.reserve(columns);
  m_bytes.reserve(bytes);
}

ResultRow::Cell &ResultRow::addCell(Type type, Kind kind) {
  Cell &cell = m_cells.emplace_back();
  cell.type = type;
  cell.kind = kind;
  cell.offset = int(m_bytes.size());
  cell.size = 0;
  cell.integer = 0;
  return cell;
}

void ResultRow::addNull() { addCell(Type::Null, Kind::Text); }

void ResultRow::addInteger(qint64 value) { addCell(Type::Integer, Kind::Text).integer = value; }

void ResultRow::addReal(double value) { addCell(Type::Real, Kind::Text).real = value; }

void ResultRow::addBytes(const char *data, int size) {
  // Within what reserve() made room for, resizing only moves the end.
  const qsizetype offset = m_bytes.size();
  m_bytes.resize(offset + size);
  if (size > 0)
    std::memcpy(m_bytes.data() + offset, data, std::size_t(size));
}

void ResultRow::addBlob(const char *data, int size) {
  addCell(Type::Blob, Kind::Text).size = size;
  addBytes(data, size);
}

void ResultRow::addText(const char *data, int size, Kind kind) {
  addCell(Type::Text, kind).size = size;
  addBytes(data, size);
}

QVariant ResultRow::value(int column) const {
  if (m_cells.isEmpty())
    return m_values.value(column);
  if (column < 0 || column >= m_cells.size())
    return QVariant();
  const Cell &cell = m_cells.at(column);
  switch (cell.type) {
  case Type::Null: return QVariant();
  case Type::Integer: return qlonglong(cell.integer);
  case Type::Real: return cell.real;
  case Type::Blob: return m_bytes.mid(cell.offset, cell.size);
  case Type::Text: return textValue(cell.kind, m_bytes.constData() + cell.offset, cell.size);
  }
  return QVariant();
}
