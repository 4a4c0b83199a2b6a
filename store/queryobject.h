#pragma once
// A query object: one connection of its own to the store, one statement, and
// the whole result of that statement held in memory (a client-side cursor).
// The main window owns two: ADOTab (10 s command time-out), whose result the
// grid shows, and BDOTab (30 s), for counts and checks.

#include "store/schema.h"
#include "store/statement.h"
#include "store/store.h"

#include <QAbstractTableModel>
#include <QList>
#include <QMap>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>
#include <memory>
#include <unordered_map>

class QueryObject;
struct sqlite3_stmt;
struct pg_conn;
struct pg_result;

// One row of a result. A server store's values are held as they came; the
// embedded store's stay in its own form (texts as UTF-8) until a column is
// read, since a lookup reads two columns of twenty and the grid only those
// it paints.
class ResultRow {
public:
  ResultRow() = default;
  explicit ResultRow(QVariantList values) : m_values(std::move(values)) {}
  // The embedded store's current row; kinds tells how each column is read.
  ResultRow(sqlite3_stmt *statement, const QList<int> &kinds);
  // Row row of a PostgreSQL result; kinds tells how each column is read.
  ResultRow(const pg_result *result, int row, const QList<int> &kinds);
  int size() const { return int(m_cells.isEmpty() ? m_values.size() : m_cells.size()); }
  // The value of a column; a null QVariant for a column the row lacks.
  QVariant value(int column) const;

private:
  struct Cell {
    int type;   // the store's type of the value
    int kind;   // how the column is read
    int offset; // texts and blobs: where in m_bytes
    int size;
    union {
      qint64 integer;
      double real;
    };
  };
  QVariantList m_values;
  QList<Cell> m_cells;
  QByteArray m_bytes;
};

// The data link between a query object's result and a grid. It follows the
// result unless the display is suspended. headerData(section, Horizontal,
// DisplayWidthRole) gives the column's display width in characters.
class ResultModel : public QAbstractTableModel {
  Q_OBJECT
public:
  static constexpr int DisplayWidthRole = Qt::UserRole + 1;
  explicit ResultModel(QueryObject *query);
  int rowCount(const QModelIndex &parent = {}) const override;
  int columnCount(const QModelIndex &parent = {}) const override;
  QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
  friend class QueryObject;
  QueryObject *m_query;
  QStringList m_columns; // as last shown
  QList<ResultRow> m_rows;
  QList<int> m_widths;
};

// The conditions the append re-checks in the same atomic step as the insert,
// against whatever other clients stored in the meantime.
struct AppendGuard {
  QString quotaColumn;  // e.g. 申请幼儿园名称
  QVariant quotaValue;  // the kindergarten
  int capacity = -1;    // rows allowed for quotaValue; -1: no limit
  QString uniqueColumn; // e.g. 身份证号
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

class QueryObject : public QObject {
  Q_OBJECT
public:
  QueryObject(const QString &name, int commandTimeoutSeconds, const StoreLocation &location, QObject *parent = nullptr);
  ~QueryObject() override;

  const StoreLocation &location() const { return m_location; }
  void setLocation(const StoreLocation &location); // closes and disconnects
  int commandTimeout() const { return m_timeout; }

  // Discard the current result; nothing happens when none is open.
  void close();
  bool isOpen() const { return m_open; }

  // Replace the statement (the query must be closed first, as every caller does).
  void setSql(const Statement &statement);
  // The statement as a list of lines: clear it, then add lines.
  void clearSql();
  void addSql(const QString &line);
  const Statement &sql() const { return m_statement; }

  // Connect (when not connected yet), run the statement and fetch its whole
  // result; the first row becomes current. Raises StoreError.
  void open();
  // Run the open result's statement again and replace the result.
  void requery();

  int rowCount() const;
  QStringList columnNames() const;
  // The named column of the current row. Null or no current row: empty text,
  // false, a null QVariant. A name the result lacks raises StoreError.
  QString fieldAsString(const QString &column) const;
  bool fieldAsBoolean(const QString &column) const;
  QVariant fieldValue(const QString &column) const;

  // Add a new row to the open result, set its columns, send it to the store
  // as one insert into the table the result was selected from. With a guard
  // the quota and uniqueness are re-checked and the row inserted in one
  // atomic step; a refusal raises AppendRefused and stores nothing.
  void append();
  void setField(const QString &column, const QVariant &value);
  void post(const AppendGuard *guard = nullptr);

  // Display width of a result column in characters (the grid turns it into
  // a width on the screen); 0 until set, reset by every open.
  void setDisplayWidth(const QString &column, int characters);
  int displayWidth(const QString &column) const;

  // Stop the grid from following the result, and let it follow again.
  void disableControls();
  void enableControls();
  bool controlsDisabled() const { return m_disabled > 0; }
  ResultModel *model() { return m_model; }

  // The open connection, for the store tools and tests (connects if needed).
  QSqlDatabase database();

private:
  friend class ResultModel;
  struct Result {
    QStringList columns;
    QList<ResultRow> rows;
  };
  void connect();
  void disconnect();
  void refreshModel();
  int columnIndex(const QString &column) const;
  // A statement prepared on the connection, kept while connected, with the
  // columns of its result once it has run.
  struct Prepared {
    QString text;
    QSqlQuery query;
    sqlite3_stmt *compiled = nullptr; // the embedded store's statement, kept by query
    pg_conn *server = nullptr;        // PostgreSQL: prepared as pgName on Qt's connection
    QByteArray pgName;
    bool described = false;
    QStringList columns;
    QList<int> kinds;   // how each column is read (SQLite date-times)
    int reprepares = 0; // SQLite: times the library prepared it again when described
  };
  Prepared &prepared(const QString &text);
  // Whether the result of the last run still has the described columns.
  bool sameColumns(const Prepared &statement) const;
  QVariant bindable(const QVariant &value) const;
  // Runs a statement with its bound values; fills result when given. Returns
  // the rows a statement without result changed. Raises StoreError and
  // leaves the connection as it is.
  int execute(const QString &text, const QVariantList &values, Result *result);
  // A PostgreSQL statement, run with libpq on the connection Qt opened.
  int executePg(Prepared &statement, const QVariantList &values, const QString &text, Result *result);
  // The embedded store's select, run on the statement Qt compiled.
  void selectSqlite(Prepared &statement, sqlite3_stmt *compiled, const QVariantList &values, const QString &text,
                    Result &result);
  // After a failed statement: whether the server connection is gone (true
  // when the driver cannot tell).
  bool connectionLost();
  // A select with one reconnect when a kept connection turns out lost.
  void select(const Statement &statement, Result &result);
  void beginTransaction(schema::Dialect dialect);
  void commitTransaction(schema::Dialect dialect);
  void rollbackTransaction(schema::Dialect dialect);

  QString m_name;
  int m_timeout;
  StoreLocation m_location;
  QString m_connectionName;
  bool m_connected = false;
  bool m_inTransaction = false;
  std::unordered_map<QString, std::unique_ptr<Prepared>> m_prepared;
  Prepared *m_lastPrepared = nullptr; // the last one used: a window mostly runs one statement again
  int m_pgStatements = 0;             // names given to statements prepared on the connection
  bool m_open = false;
  Statement m_statement;
  QStringList m_lines;
  QStringList m_columns;
  QList<ResultRow> m_rows;
  int m_current = -1;
  bool m_appending = false;
  QVariantMap m_newRow;
  int m_disabled = 0;
  QMap<QString, int> m_displayWidths;
  ResultModel *m_model;
};
