#include "store/odbc/backend.h"

#include "store/records.h"
#include "store/schema.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QThread>
#include <array>
#include <vector>

#ifdef Q_OS_WIN
#include <windows.h> // sql.h takes its types from it
#endif
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

// Texts cross the API as UTF-16 code units: SQLWCHAR is two bytes on Windows
// and in unixODBC's usual build.
static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "SQLWCHAR must be a UTF-16 code unit");

namespace {

bool succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

SQLWCHAR *wide(const QString &text) { return reinterpret_cast<SQLWCHAR *>(const_cast<ushort *>(text.utf16())); }

// Code units as they came, a surrogate pair cut between two reads included.
void appendWide(QString &text, const SQLWCHAR *data, qsizetype units) {
  if (units > 0)
    text.append(reinterpret_cast<const QChar *>(data), units);
}

// The messages of a handle's diagnostic records, joined by blanks (a record
// that repeats the one before is left out); native takes the native code of
// the last record read.
void addDiagnostics(SQLSMALLINT type, SQLHANDLE handle, QString &messages, SQLINTEGER &native, bool &hasNative) {
  if (!handle)
    return;
  QString last;
  for (SQLSMALLINT record = 1;; ++record) {
    SQLWCHAR state[SQL_SQLSTATE_SIZE + 1] = {};
    SQLINTEGER code = 0;
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetDiagRecW(type, handle, record, state, &code, nullptr, 0, &length);
    if (!succeeded(rc))
      return;
    std::vector<SQLWCHAR> text(size_t(length) + 1);
    rc = SQLGetDiagRecW(type, handle, record, state, &code, text.data(), SQLSMALLINT(text.size()), &length);
    if (!succeeded(rc))
      return;
    native = code;
    hasNative = true;
    QString message;
    appendWide(message, text.data(), qMin<qsizetype>(length, qsizetype(text.size()) - 1));
    message = message.trimmed();
    if (message.isEmpty() || message == last)
      continue;
    last = message;
    if (!messages.isEmpty())
      messages += u' ';
    messages += message;
  }
}

// The connection string as the driver manager takes it: a file DSN, a
// string naming the driver or the server, or else the name of a DSN.
QString connectionString(const QString &text) {
  if (text.contains(QLatin1String(".dsn"), Qt::CaseInsensitive))
    return QStringLiteral("FILEDSN=") + text;
  if (text.contains(QLatin1String("DRIVER="), Qt::CaseInsensitive) ||
      text.contains(QLatin1String("SERVER="), Qt::CaseInsensitive))
    return text;
  return QStringLiteral("DSN=") + text;
}

// One bound value, kept until the statement has run: the bytes the driver
// reads and their length (or SQL_NULL_DATA).
struct Bound {
  QByteArray bytes;
  SQLLEN indicator = 0;
};

template <typename T> QByteArray bytesOf(const T &value) {
  return QByteArray(reinterpret_cast<const char *>(&value), sizeof value);
}

// How a column's values are read, by the type the driver describes.
enum class Read { Text, Int, UInt, LongLong, ULongLong, Double, Binary, Date, Time, Stamp };

Read readFor(SQLSMALLINT type, bool isUnsigned) {
  switch (type) {
  case SQL_DECIMAL:
  case SQL_NUMERIC:
  case SQL_FLOAT:
  case SQL_DOUBLE: return Read::Double;
  case SQL_SMALLINT:
  case SQL_INTEGER:
  case SQL_BIT: return isUnsigned ? Read::UInt : Read::Int;
  case SQL_TINYINT: return Read::UInt;
  case SQL_BIGINT: return isUnsigned ? Read::ULongLong : Read::LongLong;
  case SQL_BINARY:
  case SQL_VARBINARY:
  case SQL_LONGVARBINARY: return Read::Binary;
  case SQL_DATE:
  case SQL_TYPE_DATE: return Read::Date;
  case SQL_TIME:
  case SQL_TYPE_TIME: return Read::Time;
  case SQL_TIMESTAMP:
  case SQL_TYPE_TIMESTAMP: return Read::Stamp;
  default: return Read::Text; // the character types, and what has no reading of its own (real included)
  }
}

struct Column {
  QString name;
  Read read = Read::Text;
};

// A value the driver could not give.
struct ReadFailed {};

// A fixed-size value of the column; false for NULL. Raises ReadFailed.
template <typename T> bool readFixed(SQLHSTMT statement, SQLUSMALLINT number, SQLSMALLINT cType, T &value) {
  SQLLEN indicator = 0;
  if (!succeeded(SQLGetData(statement, number, cType, &value, sizeof value, &indicator)))
    throw ReadFailed{};
  return indicator != SQL_NULL_DATA;
}

// A text or binary value of any length, read in pieces; false for NULL.
// Raises ReadFailed.
bool readLong(SQLHSTMT statement, SQLUSMALLINT number, bool text, QString &textValue, QByteArray &binaryValue) {
  std::array<SQLWCHAR, 4096> buffer; // 8 KiB a read
  constexpr SQLLEN bufferBytes = SQLLEN(sizeof buffer);
  // What one read holds when it did not take the rest: a text leaves room
  // for its terminating zero.
  const SQLLEN fullRead = text ? bufferBytes - SQLLEN(sizeof(SQLWCHAR)) : bufferBytes;
  for (;;) {
    SQLLEN indicator = 0;
    const SQLRETURN rc =
        SQLGetData(statement, number, text ? SQL_C_WCHAR : SQL_C_BINARY, buffer.data(), bufferBytes, &indicator);
    if (rc == SQL_NO_DATA)
      return true;
    if (!succeeded(rc))
      throw ReadFailed{};
    if (indicator == SQL_NULL_DATA)
      return false;
    const bool more = indicator == SQL_NO_TOTAL || indicator > fullRead;
    const SQLLEN bytes = more ? fullRead : indicator;
    if (text)
      appendWide(textValue, buffer.data(), bytes / qsizetype(sizeof(SQLWCHAR)));
    else
      binaryValue.append(reinterpret_cast<const char *>(buffer.data()), bytes);
    if (!more)
      return true;
  }
}

// A value as the windows read it: NULL as a null QVariant, integers as int
// (uint, qlonglong, qulonglong by their type), reals as double, dates as
// date-times at midnight, texts as QString.
QVariant readValue(SQLHSTMT statement, SQLUSMALLINT number, Read read) {
  switch (read) {
  case Read::Int: {
    SQLINTEGER value = 0;
    return readFixed(statement, number, SQL_C_SLONG, value) ? QVariant(int(value)) : QVariant();
  }
  case Read::UInt: {
    SQLUINTEGER value = 0;
    return readFixed(statement, number, SQL_C_ULONG, value) ? QVariant(uint(value)) : QVariant();
  }
  case Read::LongLong: {
    SQLBIGINT value = 0;
    return readFixed(statement, number, SQL_C_SBIGINT, value) ? QVariant(qlonglong(value)) : QVariant();
  }
  case Read::ULongLong: {
    SQLUBIGINT value = 0;
    return readFixed(statement, number, SQL_C_UBIGINT, value) ? QVariant(qulonglong(value)) : QVariant();
  }
  case Read::Double: {
    SQLDOUBLE value = 0;
    return readFixed(statement, number, SQL_C_DOUBLE, value) ? QVariant(double(value)) : QVariant();
  }
  case Read::Date: {
    SQL_DATE_STRUCT value{};
    if (!readFixed(statement, number, SQL_C_TYPE_DATE, value))
      return QVariant();
    return QDateTime(QDate(value.year, value.month, value.day), QTime(0, 0));
  }
  case Read::Time: {
    SQL_TIME_STRUCT value{};
    if (!readFixed(statement, number, SQL_C_TYPE_TIME, value))
      return QVariant();
    return QTime(value.hour, value.minute, value.second);
  }
  case Read::Stamp: {
    SQL_TIMESTAMP_STRUCT value{};
    if (!readFixed(statement, number, SQL_C_TYPE_TIMESTAMP, value))
      return QVariant();
    return QDateTime(QDate(value.year, value.month, value.day),
                     QTime(value.hour, value.minute, value.second, int(value.fraction / 1000000)));
  }
  case Read::Binary:
  case Read::Text: {
    // An empty value is an empty text (or bytes), not a null one.
    QString text = QStringLiteral("");
    QByteArray binary("");
    if (!readLong(statement, number, read == Read::Text, text, binary))
      return QVariant();
    return read == Read::Text ? QVariant(text) : QVariant(binary);
  }
  }
  return QVariant();
}

} // namespace

OdbcBackend::Prepared::~Prepared() {
  if (statement)
    SQLFreeHandle(SQL_HANDLE_STMT, statement);
}

OdbcBackend::OdbcBackend(const StoreLocation &location, int timeoutSeconds) : StoreBackend(location, timeoutSeconds) {}

OdbcBackend::~OdbcBackend() { disconnect(); }

QString OdbcBackend::failure(const QString &what, Handle statement) const {
  QString messages;
  SQLINTEGER native = 0;
  bool hasNative = false;
  addDiagnostics(SQL_HANDLE_ENV, m_environment, messages, native, hasNative);
  addDiagnostics(SQL_HANDLE_DBC, m_connection, messages, native, hasNative);
  addDiagnostics(SQL_HANDLE_STMT, statement, messages, native, hasNative);
  QString text = messages.isEmpty() ? what : what + QStringLiteral(": ") + messages;
  if (hasNative)
    text += QStringLiteral(" [%1]").arg(native);
  return text;
}

QString OdbcBackend::state(Handle statement) const {
  SQLWCHAR state[SQL_SQLSTATE_SIZE + 1] = {};
  SQLINTEGER code = 0;
  SQLSMALLINT length = 0;
  if (!succeeded(SQLGetDiagRecW(SQL_HANDLE_STMT, statement, 1, state, &code, nullptr, 0, &length)))
    return {};
  QString text;
  appendWide(text, state, SQL_SQLSTATE_SIZE);
  return text;
}

void OdbcBackend::connect() {
  if (m_connected)
    return;
  release();
  QString problem;
  SQLHANDLE environment = SQL_NULL_HANDLE;
  SQLHANDLE connection = SQL_NULL_HANDLE;
  if (!succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &environment))) {
    problem = QStringLiteral("the ODBC driver manager cannot be used");
  } else {
    m_environment = environment;
    SQLSetEnvAttr(environment, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    if (!succeeded(SQLAllocHandle(SQL_HANDLE_DBC, environment, &connection)))
      problem = failure(QStringLiteral("Unable to allocate a connection"));
  }
  if (problem.isEmpty()) {
    m_connection = connection;
    SQLSetConnectAttrW(connection, SQL_ATTR_LOGIN_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(qMax(1, m_location.loginTimeout))), 0);
    const QString text = connectionString(m_location.odbcConnection);
    if (!succeeded(
            SQLDriverConnectW(connection, nullptr, wide(text), SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT)))
      problem = failure(QStringLiteral("Unable to connect"));
  }
  if (problem.isEmpty()) {
    m_connected = true;
    // The server behind the driver.
    std::array<SQLWCHAR, 256> name{};
    SQLSMALLINT bytes = 0;
    QString server;
    if (succeeded(SQLGetInfoW(connection, SQL_DBMS_NAME, name.data(), SQLSMALLINT(sizeof name), &bytes)))
      appendWide(server, name.data(), qMin<qsizetype>(bytes / 2, qsizetype(name.size()) - 1));
    if (server.contains(QLatin1String("PostgreSQL"), Qt::CaseInsensitive))
      m_server = Server::PostgreSQL;
    else if (server.contains(QLatin1String("Microsoft SQL Server"), Qt::CaseInsensitive))
      m_server = Server::SqlServer;
    else
      problem = QStringLiteral("the server is neither SQL Server nor PostgreSQL");
  }
  if (!problem.isEmpty()) {
    disconnect();
    throw StoreError(QStringLiteral("Cannot connect to the store (%1): %2").arg(m_location.describe(), problem));
  }
  // How many digits of a second the server's timestamp keeps (its column
  // size less the 20 characters up to the point).
  m_fractionDigits = 0;
  SQLHANDLE types = SQL_NULL_HANDLE;
  if (succeeded(SQLAllocHandle(SQL_HANDLE_STMT, connection, &types))) {
    SQLINTEGER size = 0;
    SQLLEN indicator = 0;
    if (succeeded(SQLGetTypeInfoW(types, SQL_TYPE_TIMESTAMP)) && succeeded(SQLFetch(types)) &&
        succeeded(SQLGetData(types, 3, SQL_C_SLONG, &size, sizeof size, &indicator)) && indicator != SQL_NULL_DATA)
      m_fractionDigits = qBound(0, int(size) - 20, 9);
    SQLFreeHandle(SQL_HANDLE_STMT, types);
  }
  m_session = Session{};
  try {
    if (m_server == Server::SqlServer) {
      execute(QStringLiteral("SET QUOTED_IDENTIFIER ON"), {}, nullptr);
    } else {
      // The session's process number, and a name of its own that tells it
      // from a later session with the same number.
      const QString name = QStringLiteral("kgfiling-%1").arg(QRandomGenerator::system()->generate64(), 0, 16);
      Result session;
      execute(QStringLiteral("select pg_backend_pid(), set_config('application_name', ?, false)"), {name}, &session);
      if (session.rows.isEmpty())
        throw StoreError(
            QStringLiteral("Cannot connect to the store (%1): the server named no session").arg(m_location.describe()));
      m_session.pid = session.rows.first().value(0).toInt();
      m_session.name = name;
    }
  } catch (const StoreError &) {
    disconnect();
    throw;
  }
}

void OdbcBackend::release() {
  m_prepared.clear(); // the statements' handles first
  if (m_connection) {
    if (m_connected && !succeeded(SQLDisconnect(m_connection))) {
      // A transaction still open: rolled back, then the link is ended.
      SQLEndTran(SQL_HANDLE_DBC, m_connection, SQL_ROLLBACK);
      SQLDisconnect(m_connection);
    }
    SQLFreeHandle(SQL_HANDLE_DBC, m_connection);
    m_connection = nullptr;
  }
  if (m_environment) {
    SQLFreeHandle(SQL_HANDLE_ENV, m_environment);
    m_environment = nullptr;
  }
  m_connected = false;
}

void OdbcBackend::disconnect() { release(); }

bool OdbcBackend::connectionLost() {
  if (!m_connected)
    return false;
  SQLUINTEGER dead = SQL_CD_TRUE;
  const SQLRETURN rc = SQLGetConnectAttrW(m_connection, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
  if (!succeeded(rc) || dead != SQL_CD_FALSE)
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

OdbcBackend::Prepared &OdbcBackend::prepared(const QString &text) {
  if (auto found = m_prepared.find(text); found != m_prepared.end())
    return *found->second;
  auto statement = std::make_unique<Prepared>();
  SQLHANDLE handle = SQL_NULL_HANDLE;
  if (!succeeded(SQLAllocHandle(SQL_HANDLE_STMT, m_connection, &handle)))
    throw StoreError(QStringLiteral("%1: %2").arg(failure(QStringLiteral("Unable to allocate a statement")), text));
  statement->statement = handle;
  // Read forward once: the whole result is fetched at once anyway. The
  // driver gives the statement up after the time limit and tells the server
  // to stop it.
  SQLSetStmtAttrW(handle, SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(SQL_CURSOR_FORWARD_ONLY), 0);
  SQLSetStmtAttrW(handle, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(m_timeout)), 0);
  if (!succeeded(SQLPrepareW(handle, wide(text), SQL_NTS)))
    throw StoreError(
        QStringLiteral("%1: %2").arg(failure(QStringLiteral("Unable to prepare statement"), handle), text));
  return *m_prepared.emplace(text, std::move(statement)).first->second;
}

int OdbcBackend::execute(const QString &text, const QVariantList &values, Result *result) {
  Prepared &statement = prepared(text);
  SQLHSTMT handle = statement.statement;
  // The values stay bound, and the cursor open, only while this call runs.
  struct Closer {
    SQLHSTMT handle;
    ~Closer() {
      if (handle) {
        SQLFreeStmt(handle, SQL_CLOSE);
        SQLFreeStmt(handle, SQL_RESET_PARAMS);
      }
    }
  } closer{handle};
  std::vector<Bound> bound(static_cast<size_t>(values.size()));
  for (qsizetype i = 0; i < values.size(); ++i) {
    const QVariant &value = values.at(i);
    Bound &b = bound[size_t(i)];
    const bool null = backend::boundAsNull(value);
    SQLSMALLINT cType = SQL_C_BINARY;
    SQLSMALLINT sqlType = SQL_VARBINARY;
    SQLULEN size = 0;
    SQLSMALLINT digits = 0;
    switch (value.typeId()) {
    case QMetaType::QString: {
      const QString string = value.toString();
      b.bytes = QByteArray(reinterpret_cast<const char *>(string.utf16()), string.size() * qsizetype(sizeof(SQLWCHAR)));
      cType = SQL_C_WCHAR;
      // Up to 4000 characters SQL Server takes an nvarchar(n) parameter.
      sqlType = string.size() > 4000 ? SQL_WLONGVARCHAR : SQL_WVARCHAR;
      size = SQLULEN(qMax<qsizetype>(1, string.size()));
      break;
    }
    case QMetaType::Bool:
      b.bytes = bytesOf(static_cast<unsigned char>(value.toBool() ? 1 : 0));
      cType = SQL_C_BIT;
      sqlType = SQL_BIT;
      break;
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::UShort:
      b.bytes = bytesOf(static_cast<SQLINTEGER>(value.toInt()));
      cType = SQL_C_SLONG;
      sqlType = SQL_INTEGER;
      break;
    case QMetaType::UInt:
      b.bytes = bytesOf(static_cast<SQLUINTEGER>(value.toUInt()));
      cType = SQL_C_ULONG;
      sqlType = SQL_NUMERIC;
      size = 15;
      break;
    case QMetaType::LongLong:
      b.bytes = bytesOf(static_cast<SQLBIGINT>(value.toLongLong()));
      cType = SQL_C_SBIGINT;
      sqlType = SQL_BIGINT;
      break;
    case QMetaType::ULongLong:
      b.bytes = bytesOf(static_cast<SQLUBIGINT>(value.toULongLong()));
      cType = SQL_C_UBIGINT;
      sqlType = SQL_BIGINT;
      break;
    case QMetaType::Double:
    case QMetaType::Float:
      b.bytes = bytesOf(static_cast<SQLDOUBLE>(value.toDouble()));
      cType = SQL_C_DOUBLE;
      sqlType = SQL_DOUBLE;
      break;
    case QMetaType::QDate: {
      const QDate date = value.toDate();
      b.bytes =
          bytesOf(SQL_DATE_STRUCT{SQLSMALLINT(date.year()), SQLUSMALLINT(date.month()), SQLUSMALLINT(date.day())});
      cType = SQL_C_TYPE_DATE;
      sqlType = SQL_TYPE_DATE;
      break;
    }
    case QMetaType::QTime: {
      const QTime time = value.toTime();
      b.bytes =
          bytesOf(SQL_TIME_STRUCT{SQLUSMALLINT(time.hour()), SQLUSMALLINT(time.minute()), SQLUSMALLINT(time.second())});
      cType = SQL_C_TYPE_TIME;
      sqlType = SQL_TYPE_TIME;
      break;
    }
    case QMetaType::QDateTime: {
      const QDateTime stamp = value.toDateTime();
      const QDate date = stamp.date();
      const QTime time = stamp.time();
      // Milliseconds, cut to the digits the server keeps.
      SQLUINTEGER fraction = 0;
      if (m_fractionDigits > 0) {
        SQLUINTEGER keep = 1;
        for (int i = m_fractionDigits; i < 9; ++i)
          keep *= 10;
        fraction = SQLUINTEGER(time.msec()) * 1000000 / keep * keep;
      }
      b.bytes = bytesOf(SQL_TIMESTAMP_STRUCT{SQLSMALLINT(date.year()), SQLUSMALLINT(date.month()),
                                             SQLUSMALLINT(date.day()), SQLUSMALLINT(time.hour()),
                                             SQLUSMALLINT(time.minute()), SQLUSMALLINT(time.second()), fraction});
      cType = SQL_C_TYPE_TIMESTAMP;
      sqlType = SQL_TYPE_TIMESTAMP;
      size = SQLULEN(m_fractionDigits > 0 ? 20 + m_fractionDigits : 19); // yyyy-mm-dd hh:mm:ss[.f...]
      digits = SQLSMALLINT(m_fractionDigits);
      break;
    }
    case QMetaType::QByteArray:
      b.bytes = value.toByteArray();
      sqlType = SQL_LONGVARBINARY;
      size = SQLULEN(qMax<qsizetype>(1, b.bytes.size()));
      break;
    case QMetaType::UnknownType: // a null of no type
      size = 1;
      break;
    default:
      throw StoreError(QStringLiteral("A value of the type %1 cannot be sent to the store: %2")
                           .arg(QString::fromLatin1(value.typeName()), text));
    }
    b.indicator = null ? SQL_NULL_DATA : SQLLEN(b.bytes.size());
    if (!succeeded(SQLBindParameter(handle, SQLUSMALLINT(i + 1), SQL_PARAM_INPUT, cType, sqlType, size, digits,
                                    b.bytes.data(), SQLLEN(b.bytes.size()), &b.indicator)))
      throw StoreError(QStringLiteral("%1: %2").arg(failure(QStringLiteral("Unable to bind variable"), handle), text));
  }
  const SQLRETURN rc = SQLExecute(handle);
  if (!succeeded(rc) && rc != SQL_NO_DATA) {
    const QString sqlState = state(handle);
    const QString message = failure(QStringLiteral("Unable to execute statement"), handle);
    // A PostgreSQL server refuses a kept prepared statement whose table was
    // replaced since ("cached plan must not change result type"): prepare it
    // afresh.
    if (statement.described &&
        (sqlState == QLatin1String("0A000") || message.contains(QLatin1String("cached plan must not change")))) {
      closer.handle = nullptr; // freed with the statement
      m_prepared.erase(text);
      return execute(text, values, result);
    }
    throw StoreError(QStringLiteral("%1: %2").arg(message, text));
  }
  if (!result) {
    SQLLEN changed = 0;
    return succeeded(SQLRowCount(handle, &changed)) ? int(changed) : -1;
  }
  fetch(handle, text, result);
  statement.described = true;
  return 0;
}

void OdbcBackend::fetch(Handle handle, const QString &text, Result *result) {
  SQLSMALLINT count = 0;
  if (!succeeded(SQLNumResultCols(handle, &count)))
    throw StoreError(
        QStringLiteral("%1: %2").arg(failure(QStringLiteral("Unable to describe the result"), handle), text));
  // The driver describes the result at every run.
  std::vector<Column> columns(static_cast<size_t>(count));
  result->columns.clear();
  for (SQLSMALLINT i = 0; i < count; ++i) {
    std::vector<SQLWCHAR> name(256);
    SQLSMALLINT length = 0;
    SQLSMALLINT type = 0;
    SQLULEN size = 0;
    SQLSMALLINT scale = 0;
    SQLSMALLINT nullable = 0;
    SQLRETURN rc = SQLDescribeColW(handle, SQLUSMALLINT(i + 1), name.data(), SQLSMALLINT(name.size()), &length, &type,
                                   &size, &scale, &nullable);
    if (succeeded(rc) && length >= SQLSMALLINT(name.size())) { // a longer name
      name.resize(size_t(length) + 1);
      rc = SQLDescribeColW(handle, SQLUSMALLINT(i + 1), name.data(), SQLSMALLINT(name.size()), &length, &type, &size,
                           &scale, &nullable);
    }
    if (!succeeded(rc))
      throw StoreError(QStringLiteral("%1: %2").arg(
          failure(QStringLiteral("Unable to describe column %1").arg(i + 1), handle), text));
    SQLLEN isUnsigned = SQL_FALSE;
    if (!succeeded(SQLColAttributeW(handle, SQLUSMALLINT(i + 1), SQL_DESC_UNSIGNED, nullptr, 0, nullptr, &isUnsigned)))
      isUnsigned = SQL_FALSE;
    Column &column = columns[size_t(i)];
    appendWide(column.name, name.data(), qMin<qsizetype>(length, qsizetype(name.size()) - 1));
    column.read = readFor(type, isUnsigned != SQL_FALSE);
    result->columns << column.name;
  }
  result->rows.clear();
  for (;;) {
    const SQLRETURN rc = SQLFetch(handle);
    if (rc == SQL_NO_DATA)
      break;
    if (!succeeded(rc))
      throw StoreError(QStringLiteral("%1: %2").arg(failure(QStringLiteral("Unable to fetch next"), handle), text));
    QVariantList row;
    row.reserve(count);
    for (SQLSMALLINT i = 0; i < count; ++i) {
      try {
        row << readValue(handle, SQLUSMALLINT(i + 1), columns[size_t(i)].read);
      } catch (const ReadFailed &) {
        throw StoreError(QStringLiteral("%1: %2").arg(
            failure(QStringLiteral("Unable to read %1").arg(columns[size_t(i)].name), handle), text));
      }
    }
    result->rows << ResultRow(std::move(row));
  }
}

void OdbcBackend::append(const NewRow &row, const AppendGuard &guard) {
  const QVariantList arguments = backend::appendArguments(row, guard);
  const NewRow sent{row.table, schema::applicationColumns(), arguments};
  // A kept connection may have been lost without notice, and the driver does
  // not tell before a statement fails: it is checked first, holding no lock,
  // so that the append is only sent on a live link.
  if (connected() && connectionLost())
    disconnect();
  QStringList marks;
  for (qsizetype i = 0; i < arguments.size(); ++i)
    marks << QStringLiteral("?");
  Result outcome;
  Session sending;
  try {
    connect();
    // SQL Server runs the procedure, PostgreSQL the function of the same
    // name: either takes the locks, re-checks, inserts and commits in one
    // request.
    const QString call =
        (m_server == Server::SqlServer ? QStringLiteral("exec kg_append %1") : QStringLiteral("select kg_append(%1)"))
            .arg(marks.join(QStringLiteral(", ")));
    sending = m_session;
    sending.sent = true;
    sending.doneBy = QDeadlineTimer(kProcedureBoundMs);
    execute(call, arguments, &outcome);
  } catch (const StoreError &) {
    // Sent, and then the link went: the server may have stored the row.
    // What it holds is read on a new connection before anyone is told.
    const bool unknown = sending.sent && connectionLost();
    disconnect();
    if (unknown && storedAfterAll(sent, sending))
      return;
    throw;
  }
  refuseUnlessStored(outcome.rows.isEmpty() ? -1 : outcome.rows.first().value(0).toInt(), sent);
}

bool OdbcBackend::storedAfterAll(const NewRow &sent, const Session &old) {
  // As on PostgreSQL's own library: what the store holds counts once the old
  // session has ended, and no session is ended for it. A PostgreSQL server
  // shows whether it still runs (its process number and the name this
  // connection gave itself); a login of SQL Server sees no session but its
  // own, so there the procedure's own bounds (no transaction of the caller's,
  // every lock waited for at most five seconds) are waited out instead. The
  // store is asked again and again for the command's time limit.
  // (On SQL Server at least until the procedure's bounds have passed, and a
  // little time to read.)
  QDeadlineTimer bound(
      qMax<qint64>(m_timeout * 1000, m_server == Server::SqlServer ? old.doneBy.remainingTime() + 2000 : 0));
  for (;;) {
    try {
      connect();
      for (;;) {
        bool alive = m_server == Server::SqlServer && !old.doneBy.hasExpired();
        if (m_server == Server::PostgreSQL && old.pid != 0) {
          Result found;
          execute(QStringLiteral("select count(*) from pg_stat_activity where pid = ? and application_name = ?"),
                  {old.pid, old.name}, &found);
          alive = found.rows.isEmpty() || found.rows.first().value(0).toInt() > 0;
        }
        if (!alive)
          break;
        if (bound.hasExpired())
          throw StoreError(QStringLiteral("The session of the append is still running"));
        QThread::msleep(100);
      }
      return readBack(sent);
    } catch (const StoreError &) {
      disconnect();
      if (bound.hasExpired())
        return false;
      QThread::msleep(200);
    }
  }
}

QString OdbcBackend::appendProcedure() {
  // Run with its owner's rights (the client's login needs no insert right).
  // Only as a request of its own: inside a transaction of the caller's the
  // locks would be held until the caller ended it. A text without a GBK form
  // is refused: the text is turned into code page 936 (Chinese_PRC) and
  // back, which changes it exactly then. The capacity is the store's own
  // (lz_yeyme), as the client's quota table gives it: a kindergarten the
  // table does not name has no limit. The
  // appends of one kindergarten, and of one identity number, wait for each
  // other on application locks held to the end of the transaction, quota
  // first, then identity, each for at most five seconds; other kindergartens
  // go on in parallel.
  QStringList parameters;
  QStringList values;
  QStringList texts;
  for (const QString &column : schema::applicationColumns()) {
    const int length = schema::applicationColumnLength(column);
    parameters << (length == 0 ? QStringLiteral("@p_%1 datetime").arg(column)
                               : QStringLiteral("@p_%1 nvarchar(%2)").arg(column).arg(length));
    values << QStringLiteral("@p_") + column;
    if (length != 0)
      texts << QStringLiteral("(@p_%1)").arg(column);
  }
  return QStringLiteral(
             "create procedure kg_append %1\n"
             "with execute as owner\n"
             "as\n"
             "begin\n"
             "  set nocount on;\n"
             "  set xact_abort on;\n"
             "  declare @outcome int;\n"
             "  declare @capacity int;\n"
             "  declare @key nvarchar(100);\n"
             "  declare @granted int;\n"
             "  if @@trancount > 0\n"
             "    throw 50001, N'kg_append runs only as a request of its own, outside any transaction', 1;\n"
             "  if exists (select 1 from (values %4) v(t) where t is not null and\n"
             "             cast(cast(t collate Chinese_PRC_BIN as varchar(max)) as nvarchar(max)) <> t collate "
             "Chinese_PRC_BIN)\n"
             "    throw 50002, N'a value holds a character that GBK cannot encode', 1;\n"
             "  select @capacity = 名额 from lz_yeyme where 申请幼儿园名称 = @p_申请幼儿园名称;\n"
             "  set @outcome = %7;\n"
             "  begin transaction;\n"
             "  if @capacity is not null\n"
             "  begin\n"
             "    set @key = N'申请幼儿园名称=' + @p_申请幼儿园名称;\n"
             "    exec @granted = sp_getapplock @Resource = @key, @LockMode = 'Exclusive', @LockOwner = 'Transaction', "
             "@LockTimeout = %8;\n"
             "    if @granted < 0\n"
             "      throw 50003, N'the kindergarten stayed locked', 1;\n"
             "  end\n"
             "  set @key = N'身份证号=' + isnull(@p_身份证号, N'');\n"
             "  exec @granted = sp_getapplock @Resource = @key, @LockMode = 'Exclusive', @LockOwner = 'Transaction', "
             "@LockTimeout = %8;\n"
             "  if @granted < 0\n"
             "    throw 50003, N'the identity number stayed locked', 1;\n"
             "  if @capacity is not null and (select count(*) from lz_yjxxk where 申请幼儿园名称 = "
             "@p_申请幼儿园名称) >= @capacity\n"
             "    set @outcome = %5;\n"
             "  else if exists (select 1 from lz_yjxxk where 身份证号 = @p_身份证号)\n"
             "    set @outcome = %6;\n"
             "  else\n"
             "    insert into lz_yjxxk (%2) values (%3);\n"
             "  commit transaction;\n"
             "  select @outcome as outcome;\n"
             "end")
      .arg(parameters.join(QStringLiteral(", ")), schema::applicationColumns().join(QStringLiteral(", ")),
           values.join(QStringLiteral(", ")), texts.join(QStringLiteral(", ")))
      .arg(kQuotaFull)
      .arg(kDuplicate)
      .arg(kStored)
      .arg(kLockWaitMs);
}

QStringList OdbcBackend::createStatements() {
  return {QStringLiteral("create table lz_kttb (幼儿园填报 bit, 幼儿园版本 nvarchar(20))"),
          QStringLiteral("create table lz_yjxxk (%1)")
              .arg(schema::applicationColumnsSql(QStringLiteral("nvarchar"), QStringLiteral("datetime"))),
          QStringLiteral("create table lz_xzcz (村或社区 nvarchar(40), 组数 int)"),
          schema::quotaTableSql(QStringLiteral("nvarchar")),
          QStringLiteral("create index ix_lz_yjxxk_yey on lz_yjxxk (申请幼儿园名称)"),
          QStringLiteral("create index ix_lz_xzcz_csq on lz_xzcz (村或社区)"),
          appendProcedure()};
}

QStringList OdbcBackend::dropStatements() {
  return {QStringLiteral("if object_id('lz_kttb') is not null drop table lz_kttb"),
          QStringLiteral("if object_id('lz_yjxxk') is not null drop table lz_yjxxk"),
          QStringLiteral("if object_id('lz_xzcz') is not null drop table lz_xzcz"),
          QStringLiteral("if object_id('lz_yeyme') is not null drop table lz_yeyme"),
          QStringLiteral("if object_id('kg_append') is not null drop procedure kg_append")};
}

QStringList OdbcBackend::quotaUpgradeStatements() {
  return {schema::quotaTableSql(QStringLiteral("nvarchar")),
          QStringLiteral("if object_id('kg_append') is not null drop procedure kg_append"), appendProcedure()};
}

// The recording time and the record of changes (SQL Server).

QStringList OdbcBackend::recordStatements() {
  QStringList before;
  QStringList after;
  for (const QString &column : schema::recordedColumns()) {
    before << QStringLiteral("d.%1 as %1").arg(column);
    after << QStringLiteral("i.%1 as %1").arg(column);
  }
  const QString json = QStringLiteral(" for json path, without_array_wrapper, include_null_values");
  return {
      QStringLiteral("alter table lz_yjxxk add 记录时间 datetime2(3) null"),
      QStringLiteral("alter table lz_yjxxk add constraint df_lz_yjxxk_jlsj default sysdatetime() for 记录时间"),
      QStringLiteral("create index ix_lz_yjxxk_jlsj on lz_yjxxk (记录时间)"),
      schema::auditTableSql(QStringLiteral("bigint identity"), QStringLiteral("datetime2(3)"),
                            QStringLiteral(" default sysdatetime()"), QStringLiteral("nvarchar"),
                            QStringLiteral("nvarchar(max)")),
      // One row of lz_xgjl per changed or removed row. A statement that
      // changes one row is matched with its new row whatever it changed,
      // the identity number included.
      QStringLiteral("create trigger tr_lz_yjxxk_change on lz_yjxxk after update, delete as\n"
                     "begin\n"
                     "  set nocount on;\n"
                     "  insert into lz_xgjl (操作人, 操作, 身份证号, 列名, 原值, 新值, 原因)\n"
                     "  select coalesce(cast(session_context(N'kg.who') as nvarchar(64)), suser_sname()),\n"
                     "         coalesce(cast(session_context(N'kg.operation') as nvarchar(10)),\n"
                     "                  case when i.身份证号 is null then N'删除' else N'修改' end),\n"
                     "         d.身份证号, case when i.身份证号 is null then N'*' else null end,\n"
                     "         (select %1%3), case when i.身份证号 is null then null else (select %2%3) end,\n"
                     "         cast(session_context(N'kg.reason') as nvarchar(500))\n"
                     "  from deleted d left join inserted i\n"
                     "    on i.身份证号 = d.身份证号 or ((select count(*) from deleted) = 1 and (select count(*) from "
                     "inserted) = 1);\n"
                     "end")
          .arg(before.join(QStringLiteral(", ")), after.join(QStringLiteral(", ")), json),
  };
}

QStringList OdbcBackend::dropRecordStatements() {
  return {QStringLiteral("if object_id('lz_xgjl') is not null drop table lz_xgjl")};
}

// The session's context, cleared again after the commit.
QStringList OdbcBackend::auditContextStatements() {
  return {QStringLiteral("exec sp_set_session_context N'kg.who', ?"),
          QStringLiteral("exec sp_set_session_context N'kg.operation', ?"),
          QStringLiteral("exec sp_set_session_context N'kg.reason', ?")};
}

QStringList OdbcBackend::clearAuditContextStatements() {
  return {QStringLiteral("exec sp_set_session_context N'kg.who', null"),
          QStringLiteral("exec sp_set_session_context N'kg.operation', null"),
          QStringLiteral("exec sp_set_session_context N'kg.reason', null")};
}

schema::Dialect OdbcBackend::serverDialect() {
  connect();
  return m_server == Server::PostgreSQL ? schema::Dialect::PostgreSQL : schema::Dialect::SqlServer;
}
