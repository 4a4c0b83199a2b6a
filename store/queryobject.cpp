#include "store/queryobject.h"

#include "core/datetime.h"
#include "store/schema.h"

#include <QAtomicInt>
#include <QFileInfo>
#include <QLibrary>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlResult>
#include <QUrl>
#include <QVarLengthArray>
#include <cstring>
#include <libpq-fe.h>
#include <limits>
#include <sqlite3.h>
#include <type_traits>

#include <sql.h>
#include <sqlext.h>

namespace {

QAtomicInt connectionCounter;

const QString kStampFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");

QString errorText(const QSqlError &error) {
  QString text = error.databaseText().trimmed();
  const QString driver = error.driverText().trimmed();
  if (text.isEmpty())
    text = driver;
  else if (!driver.isEmpty() && !text.contains(driver))
    text = driver + QStringLiteral(": ") + text;
  if (!error.nativeErrorCode().isEmpty())
    text += QStringLiteral(" [%1]").arg(error.nativeErrorCode());
  return text.isEmpty() ? QStringLiteral("unknown error") : text;
}

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

// "yyyy-MM-dd", "yyyy-MM-dd HH:mm:ss" (or with T, and optional .z, .zz or
// .zzz) as a local date-time; invalid for anything else. Read by hand: this
// runs for every date-time value of every result.
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

// stampOf with the last answer kept: a local QDateTime costs a time-zone
// look-up, and the rows of a result mostly carry the same filing day.
QDateTime cachedStampOf(const QString &text) {
  static thread_local QString lastText;
  static thread_local QDateTime lastValue;
  if (text != lastText) {
    lastValue = stampOf(text);
    lastText = text;
  }
  return lastValue;
}

// Text the embedded store keeps for a date-time, back into a QDateTime;
// anything else stays as it is.
QVariant parseStamp(const QVariant &value) {
  if (value.typeId() != QMetaType::QString)
    return value;
  const QDateTime parsed = cachedStampOf(value.toString());
  return parsed.isValid() ? QVariant(parsed) : value;
}

// How a result column of the embedded store is read: a column declared as a
// date-time gives QDateTime; an expression (no declared type, as getdate())
// gives QDateTime when its text has exactly getdate()'s form.
enum class SqliteKind { Plain, Stamp, Expression };

QList<SqliteKind> sqliteKinds(sqlite3_stmt *statement, int columns) {
  QList<SqliteKind> kinds(columns, SqliteKind::Plain);
  if (!statement)
    return kinds;
  for (int i = 0; i < columns && i < sqlite3_column_count(statement); ++i) {
    const char *declared = sqlite3_column_decltype(statement, i);
    if (!declared) {
      kinds[i] = SqliteKind::Expression;
      continue;
    }
    const QByteArray type = QByteArray(declared).toLower();
    if (type.contains("date") || type.contains("time"))
      kinds[i] = SqliteKind::Stamp;
  }
  return kinds;
}

// The statement SQLite compiled for a prepared query (Qt keeps it as long as
// the query), or nullptr.
sqlite3_stmt *sqliteStatement(const QSqlQuery &query) {
  const QVariant handle = query.result()->handle();
  if (qstrcmp(handle.typeName(), "sqlite3_stmt*") != 0)
    return nullptr;
  return *static_cast<sqlite3_stmt *const *>(handle.data());
}

// Whether a bound value goes to the store as NULL: as Qt's drivers take it,
// a null text, date or time is NULL too.
bool boundAsNull(const QVariant &value) {
  if (value.isNull())
    return true;
  switch (value.typeId()) {
  case QMetaType::QString: return static_cast<const QString *>(value.constData())->isNull();
  case QMetaType::QByteArray: return static_cast<const QByteArray *>(value.constData())->isNull();
  case QMetaType::QDateTime: return static_cast<const QDateTime *>(value.constData())->isNull();
  case QMetaType::QDate: return static_cast<const QDate *>(value.constData())->isNull();
  case QMetaType::QTime: return static_cast<const QTime *>(value.constData())->isNull();
  default: return false;
  }
}

// Binds the values to an embedded-store statement as Qt's driver would.
int sqliteBind(sqlite3_stmt *statement, const QVariantList &values) {
  int rc = sqlite3_clear_bindings(statement);
  for (int i = 0; i < values.size() && rc == SQLITE_OK; ++i) {
    const QVariant &value = values.at(i);
    if (boundAsNull(value)) {
      rc = sqlite3_bind_null(statement, i + 1);
      continue;
    }
    switch (value.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong: rc = sqlite3_bind_int64(statement, i + 1, value.toLongLong()); break;
    case QMetaType::Double: rc = sqlite3_bind_double(statement, i + 1, value.toDouble()); break;
    case QMetaType::QByteArray: {
      const QByteArray bytes = value.toByteArray();
      rc = sqlite3_bind_blob(statement, i + 1, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
      break;
    }
    default: {
      const QByteArray text = value.toString().toUtf8();
      rc = sqlite3_bind_text(statement, i + 1, text.constData(), int(text.size()), SQLITE_TRANSIENT);
      break;
    }
    }
  }
  return rc;
}

// A result column's name as Qt's driver gives it: quotes removed, no table.
QString sqliteColumnName(sqlite3_stmt *statement, int column) {
  QString name = QString::fromUtf8(sqlite3_column_name(statement, column));
  name.remove(QLatin1Char('"'));
  return name.mid(name.lastIndexOf(QLatin1Char('.')) + 1);
}

// How often SQLite has prepared the statement again since it was first
// prepared (after a table it reads was changed); -1 without a statement.
int sqliteReprepares(sqlite3_stmt *statement) {
  return statement ? sqlite3_stmt_status(statement, SQLITE_STMTSTATUS_REPREPARE, 0) : -1;
}

QVariant normalise(const QVariant &value, SqliteKind kind) {
  if (value.isNull())
    return QVariant();
  switch (kind) {
  case SqliteKind::Plain: break;
  case SqliteKind::Stamp: return parseStamp(value);
  case SqliteKind::Expression: {
    // getdate() and other date-time expressions: exactly 'yyyy-MM-dd HH:mm:ss'.
    if (value.typeId() == QMetaType::QString && value.toString().size() == kStampFormat.size()) {
      const QDateTime parsed = cachedStampOf(value.toString());
      if (parsed.isValid())
        return parsed;
    }
    break;
  }
  }
  if (value.typeId() == QMetaType::QDate)
    return QDateTime(value.toDate(), QTime(0, 0));
  return value;
}

QString textOf(const QVariant &value) {
  if (value.isNull())
    return QString();
  switch (value.typeId()) {
  case QMetaType::QDateTime: return datetime::dateTimeToStr(datetime::fromQDateTime(value.toDateTime()));
  case QMetaType::QDate: return datetime::dateToStr(datetime::fromQDateTime(QDateTime(value.toDate(), QTime(0, 0))));
  case QMetaType::Bool: return value.toBool() ? QStringLiteral("True") : QStringLiteral("False");
  default: return value.toString();
  }
}

bool booleanOf(const QVariant &value) {
  if (value.isNull())
    return false;
  switch (value.typeId()) {
  case QMetaType::Bool: return value.toBool();
  case QMetaType::QString:
  case QMetaType::QByteArray: {
    const QString text = value.toString().trimmed().toLower();
    return text == QLatin1String("t") || text == QLatin1String("1") || text == QLatin1String("true") ||
           text == QLatin1String("y") || text == QLatin1String("yes") || text == QLatin1String("-1");
  }
  default: {
    bool ok = false;
    const double number = value.toDouble(&ok);
    return ok && number != 0;
  }
  }
}

// The ODBC statement time-out is an attribute of the statement handle, which
// Qt's driver does not expose as an option; the driver manager is already
// loaded by Qt's ODBC plugin, so its entry point is looked up at run time.
using SetStmtAttr = SQLRETURN (*)(SQLHSTMT, SQLINTEGER, SQLPOINTER, SQLINTEGER);

SetStmtAttr setStmtAttr() {
#ifdef Q_OS_WIN
  static const auto function =
      reinterpret_cast<SetStmtAttr>(QLibrary::resolve(QStringLiteral("odbc32"), "SQLSetStmtAttrW"));
#else
  static const auto function =
      reinterpret_cast<SetStmtAttr>(QLibrary::resolve(QStringLiteral("odbc"), 2, "SQLSetStmtAttr"));
#endif
  return function;
}

void setOdbcQueryTimeout(const QSqlQuery &query, int seconds) {
  const QVariant handle = query.result()->handle();
  // Qt hands out the statement handle as a plain pointer (SQLHANDLE is void*).
  if (qstrcmp(handle.typeName(), "SQLHANDLE") != 0 && qstrcmp(handle.typeName(), "void*") != 0)
    return;
  SQLHANDLE statement = *static_cast<const SQLHANDLE *>(handle.data());
  if (SetStmtAttr function = setStmtAttr(); function && statement)
    function(statement, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<quintptr>(seconds)),
             SQL_IS_UINTEGER);
}

using GetConnectAttr = SQLRETURN (*)(SQLHDBC, SQLINTEGER, SQLPOINTER, SQLINTEGER, SQLINTEGER *);

GetConnectAttr getConnectAttr() {
#ifdef Q_OS_WIN
  static const auto function =
      reinterpret_cast<GetConnectAttr>(QLibrary::resolve(QStringLiteral("odbc32"), "SQLGetConnectAttrW"));
#else
  static const auto function =
      reinterpret_cast<GetConnectAttr>(QLibrary::resolve(QStringLiteral("odbc"), 2, "SQLGetConnectAttr"));
#endif
  return function;
}

// libpq, as Qt's PostgreSQL plugin has loaded it. The client does not link
// it, so that a client of the embedded store never loads it.
struct Libpq {
  decltype(&::PQstatus) status = nullptr;
  decltype(&::PQprepare) prepare = nullptr;
  decltype(&::PQexecPrepared) execPrepared = nullptr;
  decltype(&::PQexec) exec = nullptr;
  decltype(&::PQresultStatus) resultStatus = nullptr;
  decltype(&::PQresultErrorField) resultErrorField = nullptr;
  decltype(&::PQresultErrorMessage) resultErrorMessage = nullptr;
  decltype(&::PQerrorMessage) errorMessage = nullptr;
  decltype(&::PQclear) clear = nullptr;
  decltype(&::PQntuples) ntuples = nullptr;
  decltype(&::PQnfields) nfields = nullptr;
  decltype(&::PQfname) fname = nullptr;
  decltype(&::PQftype) ftype = nullptr;
  decltype(&::PQgetvalue) getvalue = nullptr;
  decltype(&::PQgetlength) getlength = nullptr;
  decltype(&::PQgetisnull) getisnull = nullptr;
  decltype(&::PQcmdTuples) cmdTuples = nullptr;
  decltype(&::PQunescapeBytea) unescapeBytea = nullptr;
  decltype(&::PQfreemem) freemem = nullptr;
  bool complete = false;
};

const Libpq &libpq() {
  static const Libpq pq = [] {
    Libpq found;
    auto resolve = [](auto &function, const char *name) {
      function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(
          QLibrary::resolve(QStringLiteral("pq"), 5, name));
      return function != nullptr;
    };
    found.complete =
        resolve(found.status, "PQstatus") & resolve(found.prepare, "PQprepare") &
        resolve(found.execPrepared, "PQexecPrepared") & resolve(found.exec, "PQexec") &
        resolve(found.resultStatus, "PQresultStatus") & resolve(found.resultErrorField, "PQresultErrorField") &
        resolve(found.resultErrorMessage, "PQresultErrorMessage") & resolve(found.errorMessage, "PQerrorMessage") &
        resolve(found.clear, "PQclear") & resolve(found.ntuples, "PQntuples") & resolve(found.nfields, "PQnfields") &
        resolve(found.fname, "PQfname") & resolve(found.ftype, "PQftype") & resolve(found.getvalue, "PQgetvalue") &
        resolve(found.getlength, "PQgetlength") & resolve(found.getisnull, "PQgetisnull") &
        resolve(found.cmdTuples, "PQcmdTuples") & resolve(found.unescapeBytea, "PQunescapeBytea") &
        resolve(found.freemem, "PQfreemem");
    return found;
  }();
  return pq;
}

// The connection Qt's PostgreSQL driver holds, or nullptr.
PGconn *pgConnection(const QSqlDatabase &db) {
  const QVariant handle = db.driver()->handle();
  if (qstrcmp(handle.typeName(), "PGconn*") != 0 && qstrcmp(handle.typeName(), "pg_conn*") != 0)
    return nullptr;
  return *static_cast<PGconn *const *>(handle.data());
}

// How a PostgreSQL result column is read, by its type: as Qt's driver reads it.
enum class PgKind { Text, Bool, Int, LongLong, Double, Date, Time, Stamp, Bytea };

PgKind pgKind(Oid type) {
  switch (type) {
  case 16: return PgKind::Bool;     // bool
  case 17: return PgKind::Bytea;    // bytea
  case 20: return PgKind::LongLong; // int8
  case 21:
  case 23:
  case 26:
  case 24:
  case 28:
  case 29: return PgKind::Int; // int2 int4 oid regproc xid cid
  case 700:
  case 701:
  case 1700: return PgKind::Double; // float4 float8 numeric
  case 702:
  case 703:
  case 1082: return PgKind::Date; // abstime reltime date
  case 1083:
  case 1266: return PgKind::Time; // time timetz
  case 1114:
  case 1184: return PgKind::Stamp; // timestamp timestamptz
  default: return PgKind::Text;
  }
}

QVariant pgValue(PgKind kind, const char *data, int size) {
  const QByteArrayView bytes(data, size);
  switch (kind) {
  case PgKind::Text: return QString::fromUtf8(bytes);
  case PgKind::Bool: return QVariant(size > 0 && data[0] == 't');
  case PgKind::Int: return QVariant(bytes.toInt());
  case PgKind::LongLong: // Qt's driver gives a number without sign as unsigned
    return size > 0 && data[0] == '-' ? QVariant(qlonglong(bytes.toLongLong()))
                                      : QVariant(qulonglong(bytes.toULongLong()));
  case PgKind::Double: {
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
  case PgKind::Date: return QVariant(QDate::fromString(QString::fromLatin1(bytes), Qt::ISODate));
  case PgKind::Time: return QVariant(QTime::fromString(QString::fromLatin1(bytes), Qt::ISODate));
  case PgKind::Stamp: {
    const QString text = QString::fromLatin1(bytes);
    const QDateTime plain = cachedStampOf(text);
    if (plain.isValid())
      return plain;
    // With a zone or finer than milliseconds: as Qt reads it.
    QString zoned = text;
    if (zoned.size() > 3 && (zoned.at(zoned.size() - 3) == u'+' || zoned.at(zoned.size() - 3) == u'-'))
      zoned += QStringLiteral(":00");
    return QVariant(QDateTime::fromString(zoned, Qt::ISODate).toLocalTime());
  }
  case PgKind::Bytea: {
    size_t length = 0;
    unsigned char *raw = libpq().unescapeBytea(reinterpret_cast<const unsigned char *>(data), &length);
    if (!raw)
      return QVariant(QByteArray());
    const QByteArray value(reinterpret_cast<const char *>(raw), qsizetype(length));
    libpq().freemem(raw);
    return value;
  }
  }
  return QVariant();
}

// The statement with its ? marks (outside quoted texts and names) numbered
// $1, $2, ... as PostgreSQL takes them.
QByteArray numberedMarks(const QString &text) {
  QString out;
  out.reserve(text.size() + 16);
  int marks = 0;
  QChar quote;
  for (const QChar c : text) {
    if (!quote.isNull()) {
      if (c == quote)
        quote = QChar();
    } else if (c == u'\'' || c == u'"') {
      quote = c;
    } else if (c == u'?') {
      out += QLatin1Char('$') + QString::number(++marks);
      continue;
    }
    out += c;
  }
  return out.toUtf8();
}

// The server's message for a failed statement (or the connection's, when
// there is no result), with its SQLSTATE.
QString pgError(PGconn *connection, const PGresult *result) {
  QString text =
      QString::fromUtf8(result ? libpq().resultErrorMessage(result) : libpq().errorMessage(connection)).trimmed();
  if (text.isEmpty())
    text = QStringLiteral("the server gave no answer");
  if (const char *state = result ? libpq().resultErrorField(result, PG_DIAG_SQLSTATE) : nullptr)
    text += QStringLiteral(" [%1]").arg(QString::fromLatin1(state));
  return text;
}

} // namespace

// ---------------------------------------------------------------------------

AppendRefused::AppendRefused(Reason reason, const QVariantMap &existing)
    : StoreError(reason == Reason::QuotaFull ? QStringLiteral("The append was refused: the quota is full")
                                             : QStringLiteral("The append was refused: %1 is already stored")
                                                   .arg(existing.value(QStringLiteral("身份证号")).toString())),
      m_reason(reason), m_existing(existing) {}

// ---------------------------------------------------------------------------

ResultRow::ResultRow(sqlite3_stmt *statement, const QList<int> &kinds) {
  const int count = int(kinds.size());
  m_cells.resize(count);
  QVarLengthArray<const char *, 32> data(count);
  int total = 0;
  for (int i = 0; i < count; ++i) {
    Cell &cell = m_cells[i];
    cell.type = sqlite3_column_type(statement, i);
    cell.kind = kinds.at(i);
    cell.offset = total;
    cell.size = 0;
    cell.integer = 0;
    data[i] = nullptr;
    switch (cell.type) {
    case SQLITE_INTEGER: cell.integer = sqlite3_column_int64(statement, i); break;
    case SQLITE_FLOAT: cell.real = sqlite3_column_double(statement, i); break;
    case SQLITE_BLOB: data[i] = static_cast<const char *>(sqlite3_column_blob(statement, i)); break;
    case SQLITE_TEXT: data[i] = reinterpret_cast<const char *>(sqlite3_column_text(statement, i)); break;
    default: break;
    }
    if (data[i]) {
      cell.size = sqlite3_column_bytes(statement, i);
      total += cell.size;
    }
  }
  m_bytes.resize(total);
  char *bytes = m_bytes.data();
  for (int i = 0; i < count; ++i) {
    if (data[i])
      std::memcpy(bytes + m_cells.at(i).offset, data[i], std::size_t(m_cells.at(i).size));
  }
}

namespace {
constexpr int kPgCell = 100; // a Cell holding a PostgreSQL value as its text
} // namespace

ResultRow::ResultRow(const pg_result *result, int row, const QList<int> &kinds) {
  const Libpq &pq = libpq();
  const int count = int(kinds.size());
  m_cells.resize(count);
  int total = 0;
  for (int i = 0; i < count; ++i) {
    Cell &cell = m_cells[i];
    cell.integer = 0;
    cell.kind = kinds.at(i);
    cell.offset = total;
    cell.size = 0;
    cell.type = pq.getisnull(result, row, i) ? SQLITE_NULL : kPgCell;
    if (cell.type == kPgCell) {
      cell.size = pq.getlength(result, row, i);
      total += cell.size;
    }
  }
  m_bytes.resize(total);
  char *bytes = m_bytes.data();
  for (int i = 0; i < count; ++i) {
    if (m_cells.at(i).size > 0)
      std::memcpy(bytes + m_cells.at(i).offset, pq.getvalue(result, row, i), std::size_t(m_cells.at(i).size));
  }
}

QVariant ResultRow::value(int column) const {
  if (m_cells.isEmpty())
    return m_values.value(column);
  if (column < 0 || column >= m_cells.size())
    return QVariant();
  // As Qt's driver gives them: integers as qlonglong, reals as double, texts
  // as QString, blobs as QByteArray; date-times as the column is read.
  const Cell &cell = m_cells.at(column);
  QVariant value;
  switch (cell.type) {
  case SQLITE_NULL: return QVariant();
  case SQLITE_INTEGER: value = qlonglong(cell.integer); break;
  case SQLITE_FLOAT: value = cell.real; break;
  case SQLITE_BLOB: value = m_bytes.mid(cell.offset, cell.size); break;
  case kPgCell:
    return normalise(pgValue(PgKind(cell.kind), m_bytes.constData() + cell.offset, cell.size), SqliteKind::Plain);
  default: value = QString::fromUtf8(m_bytes.constData() + cell.offset, cell.size); break;
  }
  return normalise(value, SqliteKind(cell.kind));
}

// ---------------------------------------------------------------------------

ResultModel::ResultModel(QueryObject *query) : QAbstractTableModel(query), m_query(query) {}

int ResultModel::rowCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : int(m_rows.size()); }

int ResultModel::columnCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : int(m_columns.size()); }

QVariant ResultModel::data(const QModelIndex &index, int role) const {
  if (!index.isValid() || index.row() >= m_rows.size() || index.column() >= m_columns.size())
    return QVariant();
  const QVariant value = m_rows.at(index.row()).value(index.column());
  if (role == Qt::DisplayRole)
    return textOf(value);
  if (role == Qt::EditRole)
    return value;
  return QVariant();
}

QVariant ResultModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal && section >= 0 && section < m_columns.size()) {
    if (role == Qt::DisplayRole)
      return m_columns.at(section);
    if (role == DisplayWidthRole)
      return section < m_widths.size() ? m_widths.at(section) : 0;
    return QVariant();
  }
  return QAbstractTableModel::headerData(section, orientation, role);
}

// ---------------------------------------------------------------------------

QueryObject::QueryObject(const QString &name, int commandTimeoutSeconds, const StoreLocation &location, QObject *parent)
    : QObject(parent), m_name(name), m_timeout(commandTimeoutSeconds), m_location(location),
      m_connectionName(QStringLiteral("%1#%2").arg(name).arg(connectionCounter.fetchAndAddRelaxed(1))),
      m_model(new ResultModel(this)) {
  setObjectName(name);
}

QueryObject::~QueryObject() { disconnect(); }

void QueryObject::setLocation(const StoreLocation &location) {
  close();
  disconnect();
  m_location = location;
}

void QueryObject::connect() {
  if (m_connected)
    return;
  QString failure;
  {
    QSqlDatabase db;
    switch (m_location.backend) {
    case StoreLocation::Backend::SQLite: {
      if (!m_location.createFile && !QFileInfo::exists(m_location.file))
        throw StoreError(QStringLiteral("The store file %1 does not exist").arg(m_location.file));
      db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
      QString options = QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(m_timeout * 1000);
      if (m_location.createFile) {
        db.setDatabaseName(m_location.file);
      } else {
        // Opened read-write without creating it: a missing store file fails.
        db.setDatabaseName(QUrl::fromLocalFile(QFileInfo(m_location.file).absoluteFilePath()).toString() +
                           QStringLiteral("?mode=rw"));
        options += QStringLiteral(";QSQLITE_OPEN_URI");
      }
      db.setConnectOptions(options);
      break;
    }
    case StoreLocation::Backend::PostgreSQL:
      db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_connectionName);
      db.setHostName(m_location.host);
      db.setPort(m_location.port > 0 ? m_location.port : 5432);
      db.setDatabaseName(m_location.database);
      db.setUserName(m_location.user);
      db.setPassword(m_location.password);
      db.setConnectOptions(QStringLiteral("connect_timeout=%1;options='-c statement_timeout=%2'")
                               .arg(qMax(1, m_location.loginTimeout))
                               .arg(m_timeout * 1000));
      break;
    case StoreLocation::Backend::Odbc:
      db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), m_connectionName);
      db.setDatabaseName(m_location.odbcConnection);
      db.setConnectOptions(QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1").arg(qMax(1, m_location.loginTimeout)));
      break;
    }
    if (!db.open()) {
      failure = errorText(db.lastError());
    } else if (m_location.backend == StoreLocation::Backend::SQLite) {
      try {
        schema::installGetdate(db);
      } catch (const StoreError &error) {
        failure = error.message();
      }
    }
    if (!failure.isEmpty())
      db.close();
  }
  if (!failure.isEmpty()) {
    QSqlDatabase::removeDatabase(m_connectionName);
    throw StoreError(QStringLiteral("Cannot connect to the store (%1): %2").arg(m_location.describe(), failure));
  }
  m_connected = true;
}

void QueryObject::disconnect() {
  m_lastPrepared = nullptr;
  m_prepared.clear();
  if (!QSqlDatabase::contains(m_connectionName)) {
    m_connected = false;
    return;
  }
  {
    QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
    if (db.isOpen()) {
      if (m_inTransaction)
        db.rollback();
      db.close();
    }
  }
  m_inTransaction = false;
  QSqlDatabase::removeDatabase(m_connectionName);
  m_connected = false;
}

bool QueryObject::connectionLost() {
  if (!m_connected || m_location.backend == StoreLocation::Backend::SQLite)
    return false; // a file does not go away between two statements
  const QVariant handle = QSqlDatabase::database(m_connectionName, false).driver()->handle();
  if (m_location.backend == StoreLocation::Backend::PostgreSQL) {
    PGconn *connection = pgConnection(QSqlDatabase::database(m_connectionName, false));
    if (!libpq().status || !connection)
      return true; // cannot tell: take it as lost
    return libpq().status(connection) != CONNECTION_OK;
  }
  const GetConnectAttr attribute = getConnectAttr();
  if (!attribute || (qstrcmp(handle.typeName(), "SQLHANDLE") != 0 && qstrcmp(handle.typeName(), "void*") != 0))
    return true;
  SQLHANDLE connection = *static_cast<const SQLHANDLE *>(handle.data());
  SQLUINTEGER dead = SQL_CD_TRUE;
  const SQLRETURN rc = attribute(connection, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
  if (!SQL_SUCCEEDED(rc) || dead != SQL_CD_FALSE)
    return true;
  // Not every driver notices a lost link by itself (the PostgreSQL one does
  // not): a trivial statement tells.
  try {
    execute(QStringLiteral("select 1"), {}, nullptr);
    return false;
  } catch (const StoreError &) {
    return true;
  }
}

QSqlDatabase QueryObject::database() {
  connect();
  return QSqlDatabase::database(m_connectionName, false);
}

QueryObject::Prepared &QueryObject::prepared(const QString &text) {
  if (m_lastPrepared && m_lastPrepared->text == text)
    return *m_lastPrepared;
  if (auto found = m_prepared.find(text); found != m_prepared.end()) {
    m_lastPrepared = found->second.get();
    return *m_lastPrepared;
  }
  const QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
  auto statement = std::make_unique<Prepared>();
  statement->text = text;
  if (m_location.backend == StoreLocation::Backend::PostgreSQL && libpq().complete) {
    // Straight on libpq, with the connection Qt opened: Qt's driver runs a
    // prepared statement as an EXECUTE with every value quoted into its text
    // and converts the whole result at once.
    if (PGconn *connection = pgConnection(db)) {
      const QByteArray name = "kg_" + QByteArray::number(++m_pgStatements);
      PGresult *done = libpq().prepare(connection, name.constData(), numberedMarks(text).constData(), 0, nullptr);
      const bool prepared = done && libpq().resultStatus(done) == PGRES_COMMAND_OK;
      const QString failure = prepared ? QString() : pgError(connection, done);
      libpq().clear(done);
      if (!prepared)
        throw StoreError(QStringLiteral("%1: %2").arg(failure, text));
      statement->server = connection;
      statement->pgName = name;
      m_lastPrepared = statement.get();
      m_prepared[text] = std::move(statement);
      return *m_lastPrepared;
    }
  }
  QSqlQuery query(db);
  // The whole result is fetched at once into memory; the PostgreSQL driver
  // does that itself with a scrollable result, the others need no cache.
  query.setForwardOnly(m_location.backend != StoreLocation::Backend::PostgreSQL);
  if (!query.prepare(text))
    throw StoreError(QStringLiteral("%1: %2").arg(errorText(query.lastError()), text));
  if (m_location.backend == StoreLocation::Backend::Odbc)
    setOdbcQueryTimeout(query, m_timeout);
  statement->compiled = sqliteStatement(query);
  statement->query = std::move(query);
  m_lastPrepared = statement.get();
  m_prepared[text] = std::move(statement);
  return *m_lastPrepared;
}

QVariant QueryObject::bindable(const QVariant &value) const {
  // Date-times go to SQLite and PostgreSQL as local wall-clock text, which
  // the date-time column takes as it stands (no time-zone conversion).
  if (m_location.backend == StoreLocation::Backend::Odbc)
    return value;
  if (value.typeId() == QMetaType::QDateTime)
    return value.toDateTime().toString(kStampFormat);
  if (value.typeId() == QMetaType::QDate)
    return value.toDate().toString(QStringLiteral("yyyy-MM-dd"));
  return value;
}

bool QueryObject::sameColumns(const Prepared &statement) const {
  switch (m_location.backend) {
  case StoreLocation::Backend::SQLite:
    // SQLite prepares the statement again by itself when a table changes,
    // and counts how often it did.
    return sqliteReprepares(statement.compiled) == statement.reprepares;
  case StoreLocation::Backend::Odbc: {
    // The driver describes the result at every run anyway.
    const QSqlRecord record = statement.query.record();
    if (record.count() != statement.columns.size())
      return false;
    for (int i = 0; i < record.count(); ++i) {
      if (record.fieldName(i) != statement.columns.at(i))
        return false;
    }
    return true;
  }
  case StoreLocation::Backend::PostgreSQL:
    // The server refuses to run a prepared statement whose result changed.
    return true;
  }
  return false;
}

int QueryObject::execute(const QString &text, const QVariantList &values, Result *result) {
  Prepared &statement = prepared(text);
  QSqlQuery &query = statement.query;
  if (result && statement.compiled) {
    selectSqlite(statement, statement.compiled, values, text, *result);
    return 0;
  }
  if (statement.server)
    return executePg(statement, values, text, result);
  for (int i = 0; i < values.size(); ++i)
    query.bindValue(i, bindable(values.at(i)));
  if (!query.exec()) {
    const QSqlError error = query.lastError();
    query.finish();
    // PostgreSQL refuses a kept prepared statement whose table was replaced
    // since ("cached plan must not change result type"): prepare it afresh.
    if (statement.described && (error.nativeErrorCode() == QLatin1String("0A000") ||
                                error.databaseText().contains(QLatin1String("cached plan must not change")))) {
      m_lastPrepared = nullptr;
      m_prepared.erase(text);
      return execute(text, values, result);
    }
    throw StoreError(QStringLiteral("%1: %2").arg(errorText(error), text));
  }
  const int changed = result ? 0 : query.numRowsAffected();
  if (result) {
    if (!statement.described || !sameColumns(statement)) {
      // The columns of a prepared statement stay the same from run to run,
      // unless the table was replaced meanwhile.
      const QSqlRecord record = query.record();
      const int count = record.count();
      statement.columns.clear();
      for (int i = 0; i < count; ++i)
        statement.columns << record.fieldName(i);
      const QList<SqliteKind> kinds = m_location.backend == StoreLocation::Backend::SQLite
                                          ? sqliteKinds(statement.compiled, count)
                                          : QList<SqliteKind>(count, SqliteKind::Plain);
      statement.kinds.clear();
      for (SqliteKind kind : kinds)
        statement.kinds << int(kind);
      if (m_location.backend == StoreLocation::Backend::SQLite)
        statement.reprepares = sqliteReprepares(statement.compiled);
      statement.described = true;
    }
    result->columns = statement.columns;
    result->rows.clear();
    const int count = int(statement.columns.size());
    while (query.next()) {
      QVariantList row;
      row.reserve(count);
      for (int i = 0; i < count; ++i)
        row << normalise(query.value(i), SqliteKind(statement.kinds.at(i)));
      result->rows << ResultRow(std::move(row));
    }
    if (query.lastError().isValid()) {
      const QString message = errorText(query.lastError());
      query.finish();
      throw StoreError(QStringLiteral("%1: %2").arg(message, text));
    }
  }
  query.finish();
  return changed;
}

int QueryObject::executePg(Prepared &statement, const QVariantList &values, const QString &text, Result *result) {
  const Libpq &pq = libpq();
  const int count = int(values.size());
  QVarLengthArray<QByteArray, 24> texts(count);
  QVarLengthArray<const char *, 24> pointers(count);
  QVarLengthArray<int, 24> lengths(count);
  QVarLengthArray<int, 24> formats(count);
  for (int i = 0; i < count; ++i) {
    pointers[i] = nullptr;
    lengths[i] = 0;
    formats[i] = 0; // text
    if (boundAsNull(values.at(i)))
      continue;
    const QVariant value = bindable(values.at(i));
    switch (value.typeId()) {
    case QMetaType::Bool: texts[i] = value.toBool() ? QByteArrayLiteral("t") : QByteArrayLiteral("f"); break;
    case QMetaType::QByteArray:
      texts[i] = value.toByteArray();
      formats[i] = 1; // bytes as they are
      break;
    default: texts[i] = value.toString().toUtf8(); break;
    }
    pointers[i] = texts[i].constData();
    lengths[i] = int(texts[i].size());
  }
  PGresult *done = pq.execPrepared(statement.server, statement.pgName.constData(), count, pointers.data(),
                                   lengths.data(), formats.data(), 0);
  const std::unique_ptr<PGresult, decltype(pq.clear)> kept(done, pq.clear);
  const ExecStatusType status = done ? pq.resultStatus(done) : PGRES_FATAL_ERROR;
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
    const char *state = done ? pq.resultErrorField(done, PG_DIAG_SQLSTATE) : nullptr;
    // A kept statement whose table was replaced since ("cached plan must not
    // change result type"): prepare it afresh.
    if (statement.described && state && qstrcmp(state, "0A000") == 0) {
      const QByteArray forget = "deallocate " + statement.pgName;
      pq.clear(pq.exec(statement.server, forget.constData()));
      m_lastPrepared = nullptr;
      m_prepared.erase(text);
      return execute(text, values, result);
    }
    throw StoreError(QStringLiteral("%1: %2").arg(pgError(statement.server, done), text));
  }
  if (!result)
    return QByteArrayView(pq.cmdTuples(done)).toInt();
  const int fields = pq.nfields(done);
  if (!statement.described || fields != statement.columns.size()) {
    statement.columns.clear();
    statement.kinds.clear();
    for (int i = 0; i < fields; ++i) {
      statement.columns << QString::fromUtf8(pq.fname(done, i));
      statement.kinds << int(pgKind(pq.ftype(done, i)));
    }
    statement.described = true;
  }
  result->columns = statement.columns;
  result->rows.clear();
  const int rows = pq.ntuples(done);
  result->rows.reserve(rows);
  for (int row = 0; row < rows; ++row)
    result->rows << ResultRow(done, row, statement.kinds);
  return 0;
}

void QueryObject::selectSqlite(Prepared &statement, sqlite3_stmt *compiled, const QVariantList &values,
                               const QString &text, Result &result) {
  // Straight through the statement Qt compiled: Qt's driver would describe
  // every column again and convert every text through UTF-16 at each run,
  // which takes about three times as long as the lookup itself.
  auto failed = [&](int rc) {
    const QString message =
        QStringLiteral("%1 [%2]").arg(QString::fromUtf8(sqlite3_errmsg(sqlite3_db_handle(compiled)))).arg(rc);
    sqlite3_reset(compiled);
    throw StoreError(QStringLiteral("%1: %2").arg(message, text));
  };
  sqlite3_reset(compiled);
  QVariantList bound;
  bound.reserve(values.size());
  for (const QVariant &value : values)
    bound << bindable(value);
  if (const int rc = sqliteBind(compiled, bound); rc != SQLITE_OK)
    failed(rc);
  int rc = sqlite3_step(compiled); // prepares the statement again when a table changed
  if (rc != SQLITE_ROW && rc != SQLITE_DONE)
    failed(rc);
  if (!statement.described || !sameColumns(statement)) {
    const int count = sqlite3_column_count(compiled);
    statement.columns.clear();
    for (int i = 0; i < count; ++i)
      statement.columns << sqliteColumnName(compiled, i);
    statement.kinds.clear();
    for (SqliteKind kind : sqliteKinds(compiled, count))
      statement.kinds << int(kind);
    statement.reprepares = sqliteReprepares(compiled);
    statement.described = true;
  }
  result.columns = statement.columns;
  result.rows.clear();
  for (; rc == SQLITE_ROW; rc = sqlite3_step(compiled))
    result.rows << ResultRow(compiled, statement.kinds);
  if (rc != SQLITE_DONE)
    failed(rc);
  sqlite3_reset(compiled);
}

void QueryObject::select(const Statement &statement, Result &result) {
  const QVariantList values = statement.hasValue ? QVariantList{statement.value} : QVariantList();
  // A kept connection may have been lost without notice (the server went away
  // and came back): a select that fails on it is tried once more on a new one.
  // A statement that failed on a live connection (rejected, timed out) is not.
  const bool reused = m_connected;
  try {
    connect();
    execute(statement.prepared(), values, &result);
    return;
  } catch (const StoreError &) {
    const bool retry = reused && connectionLost();
    disconnect();
    if (!retry)
      throw;
  }
  try {
    connect();
    execute(statement.prepared(), values, &result);
  } catch (...) {
    disconnect();
    throw;
  }
}

void QueryObject::close() {
  const bool wasOpen = m_open;
  m_open = false;
  m_appending = false;
  m_newRow.clear();
  m_columns.clear();
  m_rows.clear();
  m_current = -1;
  if (wasOpen)
    refreshModel();
}

void QueryObject::setSql(const Statement &statement) {
  close();
  m_statement = statement;
  m_lines.clear(); // addSql starts from the rendered statement
}

void QueryObject::clearSql() {
  close();
  m_lines.clear();
  m_statement = Statement::plain(QString());
}

void QueryObject::addSql(const QString &line) {
  close();
  if (m_lines.isEmpty() && !m_statement.head.isEmpty())
    m_lines << m_statement.render();
  m_lines << line;
  m_statement = Statement::plain(m_lines.join(QLatin1Char('\n')));
}

void QueryObject::open() {
  if (m_open)
    return;
  if (QStringView(m_statement.head).trimmed().isEmpty())
    throw StoreError(QStringLiteral("%1: no statement to open").arg(m_name));
  Result result;
  select(m_statement, result);
  m_columns = result.columns;
  m_rows = result.rows;
  m_current = m_rows.isEmpty() ? -1 : 0;
  m_open = true;
  m_appending = false;
  m_newRow.clear();
  m_displayWidths.clear();
  refreshModel();
}

void QueryObject::requery() {
  if (!m_open)
    throw StoreError(QStringLiteral("%1: cannot re-run a closed query").arg(m_name));
  Result result;
  try {
    select(m_statement, result);
  } catch (...) {
    close();
    throw;
  }
  m_columns = result.columns;
  m_rows = result.rows;
  m_current = m_rows.isEmpty() ? -1 : 0;
  m_appending = false;
  m_newRow.clear();
  refreshModel();
}

int QueryObject::rowCount() const { return m_open ? int(m_rows.size()) : 0; }

QStringList QueryObject::columnNames() const { return m_open ? m_columns : QStringList(); }

int QueryObject::columnIndex(const QString &column) const {
  if (!m_open)
    throw StoreError(QStringLiteral("%1: the query is not open (column %2)").arg(m_name, column));
  // Names match whatever their case; the callers mostly spell them exactly.
  if (const qsizetype exact = m_columns.indexOf(column); exact >= 0)
    return int(exact);
  for (int i = 0; i < m_columns.size(); ++i) {
    if (m_columns.at(i).compare(column, Qt::CaseInsensitive) == 0)
      return i;
  }
  throw StoreError(QStringLiteral("%1: field '%2' not found").arg(m_name, column));
}

QVariant QueryObject::fieldValue(const QString &column) const {
  const int index = columnIndex(column);
  if (m_appending)
    return m_newRow.value(m_columns.at(index));
  if (m_current < 0 || m_current >= m_rows.size())
    return QVariant();
  return m_rows.at(m_current).value(index);
}

QString QueryObject::fieldAsString(const QString &column) const { return textOf(fieldValue(column)); }

bool QueryObject::fieldAsBoolean(const QString &column) const { return booleanOf(fieldValue(column)); }

void QueryObject::append() {
  if (!m_open)
    throw StoreError(QStringLiteral("%1: cannot append to a closed query").arg(m_name));
  if (m_statement.table().isEmpty())
    throw StoreError(QStringLiteral("%1: the statement names no table to append to").arg(m_name));
  m_appending = true;
  m_newRow.clear();
}

void QueryObject::setField(const QString &column, const QVariant &value) {
  const int index = columnIndex(column);
  if (!m_appending)
    throw StoreError(QStringLiteral("%1: no row is being appended (field %2)").arg(m_name, column));
  m_newRow.insert(m_columns.at(index), value);
}

namespace {

// One stored row as a map of column to value.
QVariantMap rowMap(const QStringList &columns, const ResultRow &row) {
  QVariantMap map;
  for (int i = 0; i < columns.size() && i < row.size(); ++i)
    map.insert(columns.at(i), row.value(i));
  return map;
}

} // namespace

void QueryObject::beginTransaction(schema::Dialect dialect) {
  QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
  if (dialect == schema::Dialect::SQLite) {
    // Takes the write lock at once (waiting up to the busy time-out), so the
    // re-checks and the insert see no other writer in between.
    execute(QStringLiteral("BEGIN IMMEDIATE"), {}, nullptr);
  } else if (!db.transaction()) {
    throw StoreError(QStringLiteral("Cannot start a transaction: %1").arg(errorText(db.lastError())));
  }
  m_inTransaction = true;
}

void QueryObject::commitTransaction(schema::Dialect dialect) {
  QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
  m_inTransaction = false;
  if (dialect == schema::Dialect::SQLite) {
    execute(QStringLiteral("COMMIT"), {}, nullptr);
  } else if (!db.commit()) {
    throw StoreError(QStringLiteral("Cannot commit the append: %1").arg(errorText(db.lastError())));
  }
}

void QueryObject::rollbackTransaction(schema::Dialect dialect) {
  if (!m_inTransaction)
    return;
  m_inTransaction = false;
  if (!m_connected)
    return;
  QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
  if (dialect == schema::Dialect::SQLite) {
    QSqlQuery query(db);
    query.exec(QStringLiteral("ROLLBACK"));
  } else {
    db.rollback();
  }
}

void QueryObject::post(const AppendGuard *guard) {
  if (!m_open)
    throw StoreError(QStringLiteral("%1: cannot post to a closed query").arg(m_name));
  if (!m_appending)
    throw StoreError(QStringLiteral("%1: no row is being appended").arg(m_name));
  const QString table = m_statement.table();
  if (m_newRow.isEmpty())
    throw StoreError(QStringLiteral("%1: the appended row sets no column").arg(m_name));

  QStringList names;
  QStringList marks;
  QVariantList values;
  for (auto it = m_newRow.cbegin(); it != m_newRow.cend(); ++it) {
    names << it.key();
    marks << QStringLiteral("?");
    values << it.value();
  }
  const QString insert = QStringLiteral("insert into %1 (%2) values (%3)")
                             .arg(table, names.join(QStringLiteral(", ")), marks.join(QStringLiteral(", ")));

  if (!guard) {
    try {
      connect();
      execute(insert, values, nullptr);
    } catch (...) {
      disconnect();
      throw;
    }
    m_appending = false;
    m_newRow.clear();
    return;
  }

  // Guarded, in one transaction: take the locks, then one insert that adds
  // the row only while the quota has room and the unique value is not stored
  // yet, reading the table as it is once the locks are held. When no row went
  // in, the same transaction tells which condition refused it. Taking the
  // locks only reads: when that fails on a kept connection that turns out to
  // be lost, it is tried once more on a new one. The insert is never repeated.
  const bool hasQuota = !guard->quotaColumn.isEmpty() && guard->capacity >= 0;
  const bool hasUnique = !guard->uniqueColumn.isEmpty();
  schema::Dialect dialect = schema::Dialect::SQLite;
  auto lock = [&] {
    connect();
    dialect = schema::dialectOf(QSqlDatabase::database(m_connectionName, false));
    beginTransaction(dialect);
    if (dialect == schema::Dialect::PostgreSQL && (hasQuota || hasUnique)) {
      // Serialises the appends for one kindergarten (and one identity number)
      // only; other kindergartens go on in parallel. Both locks in one round
      // trip, always quota first, then identity, so two appends never wait on
      // each other in a circle.
      QStringList locks;
      QVariantList keys;
      if (hasQuota) {
        locks << QStringLiteral("pg_advisory_xact_lock(1, hashtext(?))");
        keys << guard->quotaColumn + QLatin1Char('=') + guard->quotaValue.toString();
      }
      if (hasUnique) {
        locks << QStringLiteral("pg_advisory_xact_lock(2, hashtext(?))");
        keys << guard->uniqueColumn + QLatin1Char('=') + guard->uniqueValue.toString();
      }
      execute(QStringLiteral("select ") + locks.join(QStringLiteral(", ")), keys, nullptr);
    }
  };
  {
    const bool reused = m_connected;
    try {
      lock();
    } catch (const StoreError &) {
      rollbackTransaction(dialect);
      const bool retry = reused && connectionLost();
      disconnect();
      if (!retry)
        throw;
      try {
        lock();
      } catch (...) {
        rollbackTransaction(dialect);
        disconnect();
        throw;
      }
    }
  }

  // SQL Server: update and range locks held to the end of the transaction
  // on the rows counted and on the identity number's key range.
  const QString hint = dialect == schema::Dialect::SqlServer ? QStringLiteral(" with (updlock, holdlock)") : QString();
  const QString countQuota =
      QStringLiteral("select count(*) from %1%2 where %3 = ?").arg(table, hint, guard->quotaColumn);
  QStringList conditions;
  QVariantList guardedValues = values;
  if (hasQuota) {
    conditions << QStringLiteral("(%1) < ?").arg(countQuota);
    guardedValues << guard->quotaValue << guard->capacity;
  }
  if (hasUnique) {
    conditions << QStringLiteral("not exists (select 1 from %1%2 where %3 = ?)").arg(table, hint, guard->uniqueColumn);
    guardedValues << guard->uniqueValue;
  }
  const QString guardedInsert =
      conditions.isEmpty() ? insert
                           : QStringLiteral("insert into %1 (%2) select %3 where %4")
                                 .arg(table, names.join(QStringLiteral(", ")), marks.join(QStringLiteral(", ")),
                                      conditions.join(QStringLiteral(" and ")));

  // The unique key of the table (the identity number, unless the guard names
  // another column) reports a refused insert as the duplicate it is.
  QString keyColumn = guard->uniqueColumn;
  QVariant keyValue = guard->uniqueValue;
  if (keyColumn.isEmpty() && m_newRow.contains(QStringLiteral("身份证号"))) {
    keyColumn = QStringLiteral("身份证号");
    keyValue = m_newRow.value(keyColumn);
  }
  const QString uniqueSelect = QStringLiteral("select * from %1 where %2 = ?").arg(table, keyColumn);
  int inserted = 0;
  try {
    inserted = execute(guardedInsert, guardedValues, nullptr);
  } catch (const StoreError &error) {
    rollbackTransaction(dialect);
    // The unique key on the identity number is the last line of defence: an
    // insert it refused is a duplicate, reported with the row that holds it.
    Result existing;
    try {
      if (!keyColumn.isEmpty())
        execute(uniqueSelect, {keyValue}, &existing);
    } catch (...) {
      disconnect();
      throw error;
    }
    if (!existing.rows.isEmpty())
      throw AppendRefused(AppendRefused::Reason::Duplicate, rowMap(existing.columns, existing.rows.first()));
    disconnect();
    throw;
  }

  if (inserted != 1) {
    // Refused by the guard; the locks still hold, so the reason read now is
    // the one the insert met. The quota is told first, as the form does.
    try {
      if (hasQuota) {
        Result counted;
        execute(countQuota, {guard->quotaValue}, &counted);
        if (!counted.rows.isEmpty() && counted.rows.first().value(0).toLongLong() >= guard->capacity) {
          rollbackTransaction(dialect);
          throw AppendRefused(AppendRefused::Reason::QuotaFull, {});
        }
      }
      Result existing;
      if (hasUnique)
        execute(QStringLiteral("select * from %1%2 where %3 = ?").arg(table, hint, guard->uniqueColumn),
                {guard->uniqueValue}, &existing);
      rollbackTransaction(dialect);
      if (!existing.rows.isEmpty())
        throw AppendRefused(AppendRefused::Reason::Duplicate, rowMap(existing.columns, existing.rows.first()));
      throw StoreError(QStringLiteral("%1: the store added %2 rows instead of one: %3")
                           .arg(m_name)
                           .arg(inserted)
                           .arg(guardedInsert));
    } catch (const AppendRefused &) {
      throw;
    } catch (...) {
      rollbackTransaction(dialect);
      disconnect();
      throw;
    }
  }
  try {
    commitTransaction(dialect);
  } catch (...) {
    rollbackTransaction(dialect);
    disconnect();
    throw;
  }
  m_appending = false;
  m_newRow.clear();
}

void QueryObject::setDisplayWidth(const QString &column, int characters) {
  const int index = columnIndex(column);
  m_displayWidths.insert(m_columns.at(index), characters);
  if (m_disabled == 0 && index < m_model->m_widths.size() && m_model->m_columns == m_columns) {
    m_model->m_widths[index] = characters;
    emit m_model->headerDataChanged(Qt::Horizontal, index, index);
  }
}

int QueryObject::displayWidth(const QString &column) const {
  for (auto it = m_displayWidths.cbegin(); it != m_displayWidths.cend(); ++it) {
    if (it.key().compare(column, Qt::CaseInsensitive) == 0)
      return it.value();
  }
  return 0;
}

void QueryObject::disableControls() { ++m_disabled; }

void QueryObject::enableControls() {
  if (m_disabled > 0)
    --m_disabled;
  refreshModel();
}

void QueryObject::refreshModel() {
  if (m_disabled > 0)
    return;
  m_model->beginResetModel();
  m_model->m_columns = m_open ? m_columns : QStringList();
  m_model->m_rows = m_open ? m_rows : QList<ResultRow>();
  m_model->m_widths.clear();
  for (const QString &column : m_model->m_columns)
    m_model->m_widths << m_displayWidths.value(column, 0);
  m_model->endResetModel();
}
