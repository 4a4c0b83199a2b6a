#include "kit/scratchstore.h"

#include "store/driver.h"
#include "store/schema.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QFile>

namespace {

QAtomicInt counter;

// The time a statement of the kit may take.
constexpr int kTimeoutSeconds = 60;

// Runs one statement on the server's own database through a connection of
// its own, ended again; returns the server's message, or an empty text.
QString onServer(const StoreLocation &server, const QString &sql) {
  try {
    StoreBackend::create(server, kTimeoutSeconds)->run(sql);
  } catch (const StoreError &error) {
    return error.message();
  }
  return {};
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
  StoreLocation location = m_location;
  location.createFile = true;
  m_connection = StoreBackend::create(location, kTimeoutSeconds);
  schema::create(*m_connection, false);
}

ScratchStore::ScratchStore(ScratchStore &&other) noexcept
    : m_label(other.m_label), m_location(other.m_location), m_server(other.m_server),
      m_connection(std::move(other.m_connection)), m_dropOnExit(other.m_dropOnExit) {
  other.m_dropOnExit = false;
}

ScratchStore::~ScratchStore() {
  m_connection.reset();
  if (!m_dropOnExit)
    return;
  // The server may have gone; its data directory goes with it.
  onServer(m_server, QStringLiteral("drop database if exists %1 with (force)").arg(m_location.database));
}

QString ScratchStore::failure(const QString &message) const { return QStringLiteral("%1: %2").arg(m_label, message); }

void ScratchStore::exec(const QString &sql) { m_connection->run(sql); }

int ScratchStore::count(const QString &sql) {
  Result rows;
  try {
    m_connection->run(sql, {}, &rows);
  } catch (const StoreError &error) {
    throw StoreError(failure(error.message()));
  }
  return int(rows.rows.size());
}

QVariant ScratchStore::value(const QString &sql) {
  Result rows;
  try {
    m_connection->run(sql, {}, &rows);
  } catch (const StoreError &error) {
    throw StoreError(failure(error.message()));
  }
  return rows.rows.isEmpty() ? QVariant() : rows.rows.first().value(0);
}

void ScratchStore::setClock(const QDateTime &now) {
  const QStringList statements =
      drivers::forDialect(m_connection->dialect()).scratchClockStatements(QDateTime::currentDateTime().secsTo(now));
  for (const QString &statement : statements)
    exec(statement);
}
