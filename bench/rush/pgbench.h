#pragma once
// The pgbench harness of the rush: pgbench against the rush's server with
// the filing's statements, for context.

#include "rush/rush.h"

#include "filing/catchment.h"
#include "store/postgres/backend.h"
#include "store/schema.h"

#include "filing/steps.h"
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>

#include <cstdio>

namespace rush {

// pgbench against the same server with as many clients, prepared statements,
// in three workloads:
//   insert   the reference: one single-row insert of a complete application
//            into a table like lz_yjxxk (same columns, unique key, index);
//   filing   the statements one filing sends, from a lean C client: for the
//            share of stored filings the lookup, the quota count (a
//            kindergarten half full), the duplicate check, the guarded
//            append in one request (bench_append: the client's kg_append
//            on these tables), the re-run and the final
//            lookup; for the share of refusals the lookup and the quota count
//            of a full kindergarten (context: over a stretch of seconds its
//            sessions file long after their first statements, which the
//            rush's never do; the rush is held to the lean worker below);
//   bare     as filing, but the stored filings without the guard: the six
//            statements the windows themselves issue (lookup, quota count,
//            duplicate check, insert, re-run, lookup), each on its own.
class Pgbench {
public:
  Pgbench(bench::Store &store, int clients, int seconds, const QString &folder, int stored, int refused)
      : m_store(store), m_clients(clients), m_seconds(seconds), m_folder(folder) {
    for (const char *table : {"bench_insert", "bench_filing", "bench_half", "bench_full"})
      store.exec(QStringLiteral("create table %1 (like lz_yjxxk including all)").arg(QLatin1String(table)));
    // Kindergartens full, and half full, as the quota count finds them.
    const auto quotas = quota::table();
    QStringList names;
    for (const quota::Entry &entry : quotas) {
      const QString name = QString::fromUtf8(entry.kindergarten);
      names << QStringLiteral("'%1'").arg(name);
      for (const char *table : {"bench_full", "bench_half"}) {
        const int rows = qstrcmp(table, "bench_full") == 0 ? entry.capacity : entry.capacity / 2;
        store.exec(QStringLiteral("insert into %1 (%2) select %3 from generate_series(1, %4) as g")
                       .arg(QLatin1String(table), columnList(),
                            literals(QStringLiteral("'%1-' || g").arg(name), QStringLiteral("'%1'").arg(name)))
                       .arg(rows));
      }
    }
    store.exec(QStringLiteral("analyze"));
    const QString number = QStringLiteral("lpad(:n::text, 18, '0')");
    const QString kindergarten = QStringLiteral("(array[%1])[:k]").arg(names.join(QLatin1Char(',')));
    const QString head =
        QStringLiteral("\\set k random(1, %1)\n\\set n random(1, 999999999999999)\n").arg(quotas.size());
    const QString lookup =
        QStringLiteral("%1%2;\n").arg(Statement::compare(filing::kLookupHead, QString()).head).arg(number);
    auto on = [](QString text, const QString &table) { return text.replace(QStringLiteral("lz_yjxxk"), table); };
    const QString lookupFiled =
        on(lookup, QStringLiteral("bench_filing")).replace(QStringLiteral("='"), QStringLiteral("="));
    QString quotaHalf = QStringLiteral("%1%2;\n").arg(filing::kQuotaHead).arg(kindergarten);
    quotaHalf.replace(QStringLiteral("='"), QStringLiteral("="));
    const QString quotaFull = on(quotaHalf, QStringLiteral("bench_full"));
    quotaHalf = on(quotaHalf, QStringLiteral("bench_half"));
    QString duplicate = QStringLiteral("%1%2;\n").arg(filing::kDuplicateHead).arg(number);
    duplicate = on(duplicate.replace(QStringLiteral("='"), QStringLiteral("=")), QStringLiteral("bench_filing"));
    // The server's append of the client, counting in bench_half and storing
    // into bench_filing.
    store.exec(PostgresBackend::appendFunction()
                   .replace(QStringLiteral("kg_append"), QStringLiteral("bench_append"))
                   .replace(QStringLiteral("from lz_yjxxk where 申请幼儿园名称"),
                            QStringLiteral("from bench_half where 申请幼儿园名称"))
                   .replace(QStringLiteral("lz_yjxxk"), QStringLiteral("bench_filing")));
    const QString filing =
        head + lookupFiled + quotaHalf + duplicate +
        QStringLiteral("select bench_append(%1);\n").arg(literals(number, kindergarten, QStringLiteral("varchar"))) +
        lookupFiled + lookupFiled;
    const QString bare =
        head + lookupFiled + quotaHalf + duplicate +
        QStringLiteral("insert into bench_filing (%1) select %2;\n").arg(columnList(), literals(number, kindergarten)) +
        lookupFiled + lookupFiled;
    const QString refusal = head + lookupFiled + quotaFull;
    write(QStringLiteral("insert.sql"),
          QStringLiteral("insert into bench_insert (%1) select %2;\n")
              .arg(columnList(), literals(QStringLiteral("lpad(nextval('bench_insert_seq')::text, 18, '0')"),
                                          QStringLiteral("'%1'").arg(QString::fromUtf8(quotas[0].kindergarten)))));
    store.exec(QStringLiteral("create sequence bench_insert_seq"));
    write(QStringLiteral("filing.sql"), filing);
    write(QStringLiteral("bare.sql"), bare);
    write(QStringLiteral("refusal.sql"), refusal);
    m_filingScripts = {QStringLiteral("-f"), m_folder + QStringLiteral("/filing.sql@%1").arg(stored),
                       QStringLiteral("-f"), m_folder + QStringLiteral("/refusal.sql@%1").arg(refused)};
    m_bareScripts = {QStringLiteral("-f"), m_folder + QStringLiteral("/bare.sql@%1").arg(stored), QStringLiteral("-f"),
                     m_folder + QStringLiteral("/refusal.sql@%1").arg(refused)};
  }

  // Transactions per second of one run, or -1.
  double insert() { return run({QStringLiteral("-f"), m_folder + QStringLiteral("/insert.sql")}, "insert"); }
  double filing() { return run(m_filingScripts, "filing"); }
  double bare() { return run(m_bareScripts, "bare filing"); }
  // pgbench reaches the server through this port (the relay's) from now on.
  void throughPort(int port) { m_port = port; }

private:
  int m_port = 0;
  static QString columnList() { return schema::applicationColumns().join(QLatin1Char(',')); }
  // The select list of a complete application with the given expressions
  // for the number and the kindergarten.
  static QString literals(const QString &number, const QString &kindergarten, const QString &textType = QString()) {
    const QVariantMap values = bench::application(bench::identity(1), QStringLiteral("实验幼儿园和平园区"));
    QStringList list;
    for (const QString &column : schema::applicationColumns()) {
      const QVariant value = values.value(column);
      const QString cast = textType.isEmpty() ? QString() : QStringLiteral("::") + textType;
      if (column == QStringLiteral("身份证号"))
        list << number + cast;
      else if (column == QStringLiteral("申请幼儿园名称"))
        list << kindergarten + cast;
      else if (value.typeId() == QMetaType::QDateTime)
        list
            << QStringLiteral("timestamp '%1'").arg(value.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
      else
        list << QStringLiteral("'%1'").arg(value.toString());
    }
    return list.join(QLatin1Char(','));
  }
  void write(const QString &name, const QString &text) {
    QFile file(m_folder + QLatin1Char('/') + name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
      throw StoreError(QStringLiteral("cannot write %1").arg(file.fileName()));
    file.write(text.toUtf8());
  }
  // pgbench's threads: each connects its clients one after the other, and
  // behind the relay every login takes several round trips; with two threads
  // 256 clients spent the whole run connecting. One thread for every eight
  // clients connects them about as fast as the rush's client processes do.
  int threads() const { return std::clamp(m_clients / 8, 2, 32); }

  double run(const QStringList &scripts, const char *what) {
    const StoreLocation &where = m_store.location();
    QProcess pgbench;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PGPASSWORD"), where.password);
    // The session settings of the client's connections.
    environment.insert(QStringLiteral("PGOPTIONS"), QStringLiteral("-c plan_cache_mode=force_generic_plan"));
    pgbench.setProcessEnvironment(environment);
    pgbench.setProcessChannelMode(QProcess::MergedChannels);
    pgbench.start(QStringLiteral("pgbench"),
                  QStringList{QStringLiteral("-n"), QStringLiteral("-M"), QStringLiteral("prepared"),
                              QStringLiteral("-c"), QString::number(m_clients), QStringLiteral("-j"),
                              QString::number(threads()), QStringLiteral("-T"), QString::number(m_seconds)} +
                      scripts +
                      QStringList{QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                                  QString::number(m_port > 0 ? m_port : where.port), QStringLiteral("-U"), where.user,
                                  where.database});
    if (!pgbench.waitForStarted(10000)) {
      std::fprintf(stderr, "pgbench did not start: %s\n", qPrintable(pgbench.errorString()));
      return -1;
    }
    if (!pgbench.waitForFinished((m_seconds + 60) * 1000)) {
      pgbench.kill();
      pgbench.waitForFinished(5000);
      std::fprintf(stderr, "pgbench did not finish\n");
      return -1;
    }
    const QString output = QString::fromUtf8(pgbench.readAll());
    const QRegularExpressionMatch tps =
        QRegularExpression(QStringLiteral("tps = ([0-9.]+) \\(without initial connection time\\)")).match(output);
    if (pgbench.exitCode() != 0 || !tps.hasMatch()) {
      std::fprintf(stderr, "pgbench %s failed:\n%s\n", what, qPrintable(output));
      return -1;
    }
    std::fprintf(stderr, "pgbench %s: %s tps\n", what, qPrintable(tps.captured(1)));
    return tps.captured(1).toDouble();
  }

  bench::Store &m_store;
  int m_clients;
  int m_seconds;
  QString m_folder;
  QStringList m_filingScripts;
  QStringList m_bareScripts;
};

} // namespace rush
