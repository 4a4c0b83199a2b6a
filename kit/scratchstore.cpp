#include "kit/scratchstore.h"

#include "store/schema.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>

namespace {

QAtomicInt counter;

QString errorText(const QSqlError &error) {
  const QString text = error.databaseText().trimmed();
  return text.isEmpty() ? error.text() : text;
}

// Runs one statement on the server's own database through a connection of
// its own, closed again; returns the server's message, or an empty text.
QString onServer(const StoreLocation &server, const QString &sql) {
  const QString name = QStringLiteral("scratchstore-server#%1").arg(counter.fetchAndAddRelaxed(1));
  QString message;
  {
    QSqlDatabase db = schema::openAdminConnection(name, server);
    QSqlQuery query(db);
    if (!query.exec(sql))
      message = errorText(query.lastError());
  }
  schema::closeAdminConnection(name);
  return message;
}

} // namespace

ScratchStore ScratchStore::sqlite(const QString &file, const QString &label) {
  ScratchStore store;
  store.m_label = label;
  QFile::remove(file);
  QFile::remove(file + QStringLiteral("-journal"));
  store.m_location = StoreLocation::parse(QStringLiteral("sqlite:") + file);
  store.open();
  return store;
}

ScratchStore ScratchStore::postgres(const StoreLocation &server, const QString &prefix, const QString &label) {
  ScratchStore store;
  store.m_label = label;
  store.m_server = server;
  const QString database = QStringLiteral("%1_%2_%3_%4")
                               .arg(prefix)
                               .arg(QCoreApplication::applicationPid())
                               .arg(counter.fetchAndAddRelaxed(1))
                               .arg(QDateTime::currentMSecsSinceEpoch() % 100000);
  const QString message =
      onServer(server, QStringLiteral("create database %1 encoding 'UTF8' template template0").arg(database));
  if (!message.isEmpty())
    throw StoreError(QStringLiteral("%1: cannot create database %2: %3").arg(label, database, message));
  store.m_dropOnExit = true;
  store.m_location = server;
  store.m_location.database = database;
  store.open();
  return store;
}

void ScratchStore::open() {
  m_connection = QStringLiteral("scratchstore#%1").arg(counter.fetchAndAddRelaxed(1));
  schema::openAdminConnection(m_connection, m_location);
  QSqlDatabase db = database();
  schema::create(db, false);
}

ScratchStore::ScratchStore(ScratchStore &&other) noexcept
    : m_label(other.m_label), m_location(other.m_location), m_server(other.m_server), m_connection(other.m_connection),
      m_dropOnExit(other.m_dropOnExit) {
  other.m_connection.clear();
  other.m_dropOnExit = false;
}

ScratchStore::~ScratchStore() {
  if (!m_connection.isEmpty())
    schema::closeAdminConnection(m_connection);
  if (!m_dropOnExit)
    return;
  try {
    onServer(m_server, QStringLiteral("drop database if exists %1 with (force)").arg(m_location.database));
  } catch (const StoreError &) {
    // The server has gone; its data directory goes with it.
  }
}

QSqlDatabase ScratchStore::database() const { return QSqlDatabase::database(m_connection, false); }

QString ScratchStore::failure(const QString &message) const { return QStringLiteral("%1: %2").arg(m_label, message); }

void ScratchStore::exec(const QString &sql) {
  QSqlDatabase db = database();
  schema::exec(db, sql);
}

int ScratchStore::count(const QString &sql) {
  QSqlQuery query(database());
  if (!query.exec(sql))
    throw StoreError(failure(QStringLiteral("%1: %2").arg(errorText(query.lastError()), sql)));
  int rows = 0;
  while (query.next())
    ++rows;
  return rows;
}

QVariant ScratchStore::value(const QString &sql) {
  QSqlQuery query(database());
  if (!query.exec(sql))
    throw StoreError(failure(QStringLiteral("%1: %2").arg(errorText(query.lastError()), sql)));
  if (!query.next() || query.isNull(0))
    return QVariant();
  return query.value(0);
}

void ScratchStore::setClock(const QDateTime &now) {
  QSqlDatabase db = database();
  if (schema::setClock(db, now))
    return;
  exec(QStringLiteral("create or replace function getdate() returns timestamp language sql stable as "
                      "$$ select (localtimestamp(3) + interval '%1 seconds')::timestamp $$")
           .arg(QDateTime::currentDateTime().secsTo(now)));
}
