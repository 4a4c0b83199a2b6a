#pragma once
// A fresh registration store for one test or one benchmark: the tables with
// their reference rows (filing open, version "202206181", the group counts of
// every community, the capacities), on an SQLite file or in a new database on
// a PostgreSQL server, dropped again by the destructor. The same steps for the
// test fixture (tests/fixture/teststore.h) and the benchmarks.
//
//   ScratchStore store = ScratchStore::postgres(server, QStringLiteral("kgbench"), QStringLiteral("Bench store"));
//   store.setClock(QDateTime(QDate(2022, 6, 20), QTime(9, 0)));
//   store.exec(QStringLiteral("delete from lz_yjxxk"));
//
// Every step raises StoreError with the store's message when it is refused.

#include "store/backend.h"
#include "store/store.h"

#include <QDateTime>
#include <QString>
#include <QVariant>

#include <memory>

class ScratchStore {
public:
  // The store file `file` (an old one of that name is removed first).
  // `label` begins every error message ("Test store", "Bench store").
  static ScratchStore sqlite(const QString &file, const QString &label);
  // A new database named `<prefix>_<process>_<n>_<ms>` on the server.
  static ScratchStore postgres(const StoreLocation &server, const QString &prefix, const QString &label);

  ScratchStore(ScratchStore &&other) noexcept;
  ScratchStore &operator=(ScratchStore &&) = delete;
  ScratchStore(const ScratchStore &) = delete;
  ~ScratchStore();

  // Where a client reaches this store.
  const StoreLocation &location() const { return m_location; }

  // The store's own administrative connection (opened with the store).
  StoreBackend &connection() const { return *m_connection; }
  // Runs one statement as it stands.
  void exec(const QString &sql);
  // The number of rows a select returns.
  int count(const QString &sql);
  // The first column of the first row of a select (null without a row or
  // for NULL).
  QVariant value(const QString &sql);
  // Makes getdate() answer `now` and go on from there (a filing day): the
  // embedded store keeps an offset in kg_clock; on PostgreSQL the database
  // gets its own getdate() with the offset.
  void setClock(const QDateTime &now);
  // The store's message of a failed statement.
  QString failure(const QString &message) const;

private:
  ScratchStore() = default;
  void open();

  QString m_label;
  StoreLocation m_location;
  StoreLocation m_server; // PostgreSQL: the server's own database, for create and drop
  std::unique_ptr<StoreBackend> m_connection;
  bool m_dropOnExit = false;
};
