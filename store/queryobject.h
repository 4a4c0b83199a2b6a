#pragma once
// A query object: one connection of its own to the store, one statement, and
// the whole result of that statement held in memory (a client-side cursor).
// The main window owns two: ADOTab (10 s command time-out), whose result the
// grid shows, and BDOTab (30 s), for counts and checks.

#include "store/backend.h"
#include "store/result.h"
#include "store/statement.h"
#include "store/store.h"

#include <QAbstractTableModel>
#include <QList>
#include <QMap>
#include <QStringList>
#include <QVariant>
#include <memory>

class QueryObject;

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

  // The object's own connection, for the store tools and tests that
  // administer the store (StoreBackend::run, schema.h).
  StoreBackend &connection() { return *m_backend; }

private:
  friend class ResultModel;
  void refreshModel();
  int columnIndex(const QString &column) const;

  QString m_name;
  int m_timeout;
  StoreLocation m_location;
  std::unique_ptr<StoreBackend> m_backend;
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
