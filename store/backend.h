#pragma once
// The one interface between a query object and the server behind it. Each
// server's backend (store/sqlite/, store/postgres/, store/odbc/; its driver,
// store/driver.h, makes it) owns its server's API whole: the connection,
// running statements and fetching their results, the time limit, telling a
// lost link, the guarded append. A query object holds one backend, which
// holds at most one connection.

#include "store/result.h"
#include "store/schema.h"
#include "store/store.h"

#include <QString>
#include <QVariant>
#include <memory>
#include <optional>

// The conditions the append re-checks in the same atomic step as the insert,
// against whatever other clients stored in the meantime. The capacity of the
// kindergarten is the store's own (lz_yeyme, filled from the client's quota
// table): the caller names the kindergarten, never how many places it has.
struct AppendGuard {
  QString quotaColumn;  // 申请幼儿园名称
  QVariant quotaValue;  // the kindergarten
  QString uniqueColumn; // 身份证号
  QVariant uniqueValue; // the identity number
};

// The append was refused by its guard: nothing was stored.
class AppendRefused : public StoreError {
public:
  enum class Reason { QuotaFull, Duplicate };
  AppendRefused(Reason reason, const QVariantMap &existing);
  Reason reason() const { return m_reason; }
  // For Duplicate: the stored row that holds the same unique value.
  QVariantMap existing() const { return m_existing; }

private:
  Reason m_reason;
  QVariantMap m_existing;
};

// A row to be inserted: its table, and its columns with their values.
struct NewRow {
  QString table;
  QStringList columns;
  QVariantList values;
  QVariant value(const QString &column) const { return values.value(columns.indexOf(column)); }
};

class StoreBackend {
public:
  // The backend for a location; timeoutSeconds bounds every statement.
  static std::unique_ptr<StoreBackend> create(const StoreLocation &location, int timeoutSeconds);
  virtual ~StoreBackend() = default;

  // Runs a select with its bound values (? marks) and fetches the whole
  // result; connects first when not connected. A kept connection may have
  // been lost without notice (the server went away and came back): a select
  // that fails on it is run once more on a new one; a select that failed on a
  // live connection (rejected, timed out) is not. Raises StoreError.
  void select(const QString &text, const QVariantList &values, Result &result);
  // Inserts the row as it is. Raises StoreError.
  void insert(const NewRow &row);
  // Inserts the row only while the kindergarten has room by the store's own
  // capacity and the identity number is not stored yet, as one atomic step
  // against every other client. Raises AppendRefused (nothing stored) or
  // StoreError (nothing stored, or the outcome could not be learnt even by
  // reading back within the time limit).
  virtual void append(const NewRow &row, const AppendGuard &guard) = 0;
  // Ends the connection (rolling back what is open); the next statement
  // connects again.
  virtual void disconnect() = 0;

  // The administrator's way to the store (kgadmin, the kit and the test
  // fixture): runs one statement with its bound values (? marks), connecting
  // first, and fills result when given; returns the rows a statement without
  // result changed. Raises StoreError. A failed statement is not run again,
  // and a transaction the caller began stays open for it to roll back.
  int run(const QString &text, const QVariantList &values = {}, Result *result = nullptr);
  // The administrator's transaction, begun as the server's driver says
  // (store/driver.h). rollbackTransaction never raises.
  void beginTransaction();
  void commitTransaction();
  void rollbackTransaction();
  // The statements the server behind the connection speaks (an ODBC
  // location may reach PostgreSQL): asked of it once. Raises StoreError.
  schema::Dialect dialect();

protected:
  StoreBackend(const StoreLocation &location, int timeoutSeconds) : m_location(location), m_timeout(timeoutSeconds) {}
  virtual void connect() = 0;
  virtual bool connected() const = 0;
  // After a failed statement: whether the link to the server is gone (true
  // when it cannot be told).
  virtual bool connectionLost() = 0;
  // Runs one statement with its bound values on the open connection; fills
  // result when given. Returns the rows a statement without result changed.
  // Raises StoreError and leaves the connection as it is.
  virtual int execute(const QString &text, const QVariantList &values, Result *result) = 0;

  // The outcomes of the server's append (kg_append): stored, refused for
  // the quota, refused for the identity number.
  static constexpr int kStored = 0;
  static constexpr int kQuotaFull = 1;
  static constexpr int kDuplicate = 2;
  // Returns for kStored; raises AppendRefused for a refusal (reading the
  // stored row of a duplicate), StoreError for anything else.
  void refuseUnlessStored(int outcome, const NewRow &row);
  // Whether the store holds the row exactly as it was sent (every column it
  // sets): read back after an append whose outcome the client could not
  // learn. Raises StoreError.
  bool readBack(const NewRow &row);

  StoreLocation m_location;
  int m_timeout;

private:
  std::optional<schema::Dialect> m_dialect;
};

namespace backend {
// The insert statement of a row, with ? marks for its values.
QString insertStatement(const NewRow &row);
// One stored row as a map of column to value.
QVariantMap rowMap(const Result &result, int row);
// The arguments of the server's append kg_append: the twenty columns of
// lz_yjxxk in their order (null for a column the row does not set), the
// guard's kindergarten and identity number in theirs. Raises StoreError for
// a row or guard the append is not made for.
QVariantList appendArguments(const NewRow &row, const AppendGuard &guard);
// Raises StoreError naming the first text value of the row that has no GBK
// form: the store holds every text in GBK.
void requireGbk(const NewRow &row);
// Whether a bound value goes to the store as NULL: a null text, date or time
// is NULL too.
bool boundAsNull(const QVariant &value);
// A value as text for the store: date-times as local wall-clock text
// (yyyy-MM-dd HH:mm:ss, dates yyyy-MM-dd), which the date-time columns keep
// as it stands.
QString wallClockText(const QVariant &value);
} // namespace backend
