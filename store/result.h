#pragma once
// A result as the store hands it to a query object: its column names and its
// rows, held in memory whole (a client-side cursor).

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QVariant>

// One row of a result. A backend that reads its server's values itself keeps
// them in their raw form (texts as UTF-8) until a column is read, since a
// lookup reads two columns of twenty and the grid only those it paints; a
// backend that gets values already converted hands them over as they are.
class ResultRow {
public:
  // How a text value is read when its column is.
  enum class Kind : quint8 {
    Text,        // as text
    StampOrText, // a date-time when the text reads as one, else text
    ExactStamp,  // a date-time when the text is exactly yyyy-MM-dd HH:mm:ss, else text
    Bool,        // t / f
    Int,         // a whole number
    LongLong,    // a whole number of 64 bits; without sign, as an unsigned one
    Double,      // a real number (also Infinity, -Infinity, NaN)
    Date,        // yyyy-MM-dd, read as a date-time at midnight
    Time,        // HH:mm:ss
    Stamp,       // a date-time, possibly with a zone
  };

  ResultRow() = default;
  explicit ResultRow(QVariantList values) : m_values(std::move(values)) {}

  // Building a row from raw values, one column after the other; bytes is
  // what all texts and blobs of the row take together.
  void reserve(int columns, int bytes);
  void addNull();
  void addInteger(qint64 value);
  void addReal(double value);
  void addBlob(const char *data, int size);
  void addText(const char *data, int size, Kind kind);

  int size() const { return int(m_cells.isEmpty() ? m_values.size() : m_cells.size()); }
  // The value of a column; a null QVariant for a column the row lacks.
  // Integers as qlonglong, reals as double, texts as QString, blobs as
  // QByteArray, dates as date-times at midnight.
  QVariant value(int column) const;

private:
  enum class Type : quint8 { Null, Integer, Real, Blob, Text };
  struct Cell {
    Type type;
    Kind kind;
    int offset; // texts and blobs: where in m_bytes
    int size;
    union {
      qint64 integer;
      double real;
    };
  };
  Cell &addCell(Type type, Kind kind);
  void addBytes(const char *data, int size);
  QVariantList m_values;
  QList<Cell> m_cells;
  QByteArray m_bytes;
};

struct Result {
  QStringList columns;
  QList<ResultRow> rows;
};

namespace result {
// A value as the windows read it: a date (as some drivers give one) becomes
// a date-time at midnight; anything else stays as it is.
QVariant normalised(const QVariant &value);
// "yyyy-MM-dd", "yyyy-MM-dd HH:mm:ss" (or with T, and optional .z, .zz or
// .zzz) as a local date-time; invalid for anything else.
QDateTime stampOf(const QString &text);
} // namespace result
