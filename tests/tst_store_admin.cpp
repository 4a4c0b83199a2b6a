// kgadmin, the store's admin tool, run as the administrator runs it.

#include "fixture/kgadmin.h"
#include "fixture/required.h"
#include "fixture/testmain.h"
#include "fixture/teststore.h"

#include "store/queryobject.h"
#include "store/schema.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>

using Outcome = AdminOutcome;

class StoreAdminTest : public QObject {
  Q_OBJECT
private slots:
  void initTestCase();
  void cleanupTestCase();
  void initCreatesAndRefusesToClobber();
  void settingsAndStatus_data();
  void settingsAndStatus();
  void failures_data();
  void failures();
  void defaultStore();
  void postgresLogin();
  void createLoginTouchesOnlyItsDatabase();
  void mssqlLoginScript();

private:
  // The user's data folder of every kgadmin run here (the copies a forced
  // init writes go there).
#ifdef Q_OS_WIN
  // Windows gives a program the user's data folder from the user's profile,
  // whatever its environment says: the suite has the user's own kgfiling
  // folder to itself, and what it held waits aside meanwhile.
  QString m_folder, m_aside;
  bool m_ownsFolder = false;
#else
  QTemporaryDir m_data;
#endif
};

void StoreAdminTest::initTestCase() {
#ifdef Q_OS_WIN
  m_folder = QFileInfo(StoreLocation::embeddedFile()).absolutePath();
  m_aside = m_folder + QStringLiteral(" (aside while kgfiling's tests run)");
  QVERIFY2(!QFileInfo::exists(m_aside), qPrintable(m_aside + QStringLiteral(" is left from an earlier run")));
  QVERIFY(!QFileInfo::exists(m_folder) || QDir().rename(m_folder, m_aside));
  m_ownsFolder = true;
#else
  QVERIFY(m_data.isValid());
  qputenv("XDG_DATA_HOME", m_data.path().toUtf8());
#endif
}

void StoreAdminTest::cleanupTestCase() {
#ifdef Q_OS_WIN
  if (!m_ownsFolder)
    return;
  QVERIFY(QDir(m_folder).removeRecursively());
  QVERIFY(!QFileInfo::exists(m_aside) || QDir().rename(m_aside, m_folder));
#endif
}

void StoreAdminTest::initCreatesAndRefusesToClobber() {
  QTemporaryDir dir;
  const QString store = QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("store.db"));
  Outcome first = kgadmin({QStringLiteral("init"), store});
  QCOMPARE(first.code, 0);
  QVERIFY2(first.out.contains(QStringLiteral("created")), qPrintable(first.out));

  {
    QueryObject query(QStringLiteral("BDOTab"), 30, StoreLocation::parse(store));
    query.setSql(Statement::plain(QStringLiteral("select 幼儿园填报,幼儿园版本 from lz_kttb")));
    query.open();
    QCOMPARE(query.rowCount(), 1);
    QCOMPARE(query.fieldAsBoolean(QStringLiteral("幼儿园填报")), true);
    QCOMPARE(query.fieldAsString(QStringLiteral("幼儿园版本")), QStringLiteral("202206181"));
    query.close();
    query.setSql(Statement::plain(QStringLiteral("select * from lz_xzcz")));
    query.open();
    QCOMPARE(query.rowCount(), 15); // sixteen list items; "其他" once
    query.close();
    query.setSql(Statement::plain(QStringLiteral("insert into lz_yjxxk (身份证号) values ('110101201905011234')")));
    query.open();
  }

  Outcome again = kgadmin({QStringLiteral("init"), store});
  QCOMPARE(again.code, 1);
  QVERIFY2(again.err.contains(QStringLiteral("--force")), qPrintable(again.err));
  QueryObject count(QStringLiteral("BDOTab"), 30, StoreLocation::parse(store));
  count.setSql(Statement::plain(QStringLiteral("select * from lz_yjxxk")));
  count.open();
  QCOMPARE(count.rowCount(), 1); // nothing clobbered
  count.close();

  Outcome forced = kgadmin({QStringLiteral("init"), store, QStringLiteral("--force")});
  QCOMPARE(forced.code, 0);
  count.open();
  QCOMPARE(count.rowCount(), 0);
}

void StoreAdminTest::settingsAndStatus_data() {
  QTest::addColumn<QString>("backend");
  QTest::newRow("sqlite") << QStringLiteral("sqlite");
  QTest::newRow("pg") << QStringLiteral("pg");
}

void StoreAdminTest::settingsAndStatus() {
  QFETCH(QString, backend);
  auto db = TestStore::create(backend);
  KG_REQUIRE_PG(db->available());
  const QString store = db->location().setting();
  db->insertApplication({{QStringLiteral("申请幼儿园名称"), QStringLiteral("西岭幼儿园本部")}});
  db->insertApplication({{QStringLiteral("申请幼儿园名称"), QStringLiteral("西岭幼儿园本部")}});

  QCOMPARE(kgadmin({QStringLiteral("close-filing"), store}).code, 0);
  QCOMPARE(db->value(QStringLiteral("select count(*) from lz_kttb where 幼儿园填报 = %1")
                         .arg(backend == QLatin1String("pg") ? "false" : "0"))
               .toInt(),
           1);
  QCOMPARE(kgadmin({QStringLiteral("set-version"), store, QStringLiteral("202206182")}).code, 0);
  QCOMPARE(db->value(QStringLiteral("select 幼儿园版本 from lz_kttb")).toString(), QStringLiteral("202206182"));
  Outcome status = kgadmin({QStringLiteral("status"), store});
  QCOMPARE(status.code, 0);
  QVERIFY2(status.out.contains(QStringLiteral("filing:   closed")), qPrintable(status.out));
  QVERIFY2(status.out.contains(QStringLiteral("\"202206182\"")), qPrintable(status.out));
  QVERIFY2(status.out.contains(QStringLiteral("西岭幼儿园本部  2")), qPrintable(status.out));
  QCOMPARE(kgadmin({QStringLiteral("open-filing"), store}).code, 0);
  QVERIFY(kgadmin({QStringLiteral("status"), store}).out.contains(QStringLiteral("filing:   open")));

  // Without a row, the switch and the version each bring one.
  db->deleteKttbRows();
  QCOMPARE(kgadmin({QStringLiteral("set-version"), store, QStringLiteral("202206181")}).code, 0);
  QCOMPARE(db->count(QStringLiteral("select * from lz_kttb")), 1);

  Outcome clock = kgadmin({QStringLiteral("set-clock"), store, QStringLiteral("2022-06-20 10:15:30")});
  if (backend == QLatin1String("sqlite")) {
    QCOMPARE(clock.code, 0);
    QCOMPARE(db->serverDate(), QDate(2022, 6, 20));
    QVERIFY2(kgadmin({QStringLiteral("status"), store}).out.contains(QStringLiteral("getdate() = 2022-06-20 10:1")),
             "status shows the set clock");
  } else {
    QCOMPARE(clock.code, 1);
    QVERIFY2(clock.err.contains(QStringLiteral("not possible")), qPrintable(clock.err));
  }
}

void StoreAdminTest::failures_data() {
  QTest::addColumn<QStringList>("args");
  QTest::addColumn<int>("code");
  QTest::addColumn<QString>("message");
  const QString missing = QStringLiteral("sqlite:/nonexistent-kg-directory/store.db");
  QTest::newRow("no command") << QStringList() << 2 << "usage";
  QTest::newRow("unknown command") << QStringList{"drop-everything", "sqlite:x.db"} << 2 << "unknown command";
  QTest::newRow("no store and no version") << QStringList{"set-version"} << 2 << "store is missing";
  QTest::newRow("bad store") << QStringList{"status", "oracle:db"} << 2 << "Invalid store location";
  QTest::newRow("missing store file") << QStringList{"status", missing} << 1 << "does not exist";
  QTest::newRow("init in a missing directory") << QStringList{"init", missing} << 1 << "Cannot connect";
  QTest::newRow("refused connection") << QStringList{"open-filing", "postgres://u:p@127.0.0.1:1/db"} << 1
                                      << "Connection refused";
  QTest::newRow("bad clock") << QStringList{"set-clock", "sqlite:x.db", "2022-06-31 10:00:00"} << 2
                             << "not a date and time";
  QTest::newRow("extra argument") << QStringList{"close-filing", "sqlite:x.db", "now"} << 2 << "expected 1";
  QTest::newRow("bad login name") << QStringList{"print-mssql-login-script", "a]; drop", "pw"} << 2 << "login name";
  QTest::newRow("bad schema kind") << QStringList{"print-schema", "oracle"} << 2 << "none of";
}

void StoreAdminTest::failures() {
  QFETCH(QStringList, args);
  QFETCH(int, code);
  QFETCH(QString, message);
  const Outcome outcome = kgadmin(args);
  QCOMPARE(outcome.code, code);
  QVERIFY2(outcome.err.contains(message) || outcome.out.contains(message), qPrintable(outcome.err + outcome.out));
}

void StoreAdminTest::defaultStore() {
  // A store left out is the client's: $KG_STORE when set, else (in a build
  // without a store setting) the embedded store in the user's data folder,
  // whose folder init creates.
  QTemporaryDir dir;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("KG_STORE"), QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("named.db")));
  QCOMPARE(kgadmin({QStringLiteral("init")}, environment).code, 0);
  QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("named.db"))));
#ifdef KG_STORE
  QSKIP("this build names its store (KG_STORE)");
#else
  environment.remove(QStringLiteral("KG_STORE"));
#ifdef Q_OS_WIN
  // The user's own folder, which the suite has to itself: without the
  // copies that the runs before left there.
  const QString embedded = StoreLocation::embeddedFile();
  QVERIFY(QDir(QFileInfo(embedded).absolutePath()).removeRecursively());
#else
  environment.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
  const QString embedded = dir.filePath(QStringLiteral("data/kgfiling/store.db"));
#endif
  const Outcome init = kgadmin({QStringLiteral("init")}, environment);
  QVERIFY2(init.code == 0, qPrintable(init.err));
  QVERIFY2(init.out.contains(embedded), qPrintable(init.out));
  QVERIFY(QFileInfo::exists(embedded));
  QCOMPARE(kgadmin({QStringLiteral("close-filing")}, environment).code, 0);
  QCOMPARE(kgadmin({QStringLiteral("set-version"), QStringLiteral("2.0")}, environment).code, 0);
  const Outcome status = kgadmin({QStringLiteral("status")}, environment);
  QVERIFY2(status.out.contains(QStringLiteral("store:    SQLite file ") + embedded), qPrintable(status.out));
  QVERIFY2(status.out.contains(QStringLiteral("filing:   closed")), qPrintable(status.out));
  QVERIFY2(status.out.contains(QStringLiteral("version:  \"2.0\"")), qPrintable(status.out));
#endif
}

void StoreAdminTest::postgresLogin() {
  auto db = TestStore::postgres();
  KG_REQUIRE_PG(db->available());
  const QString user = QStringLiteral("kgclient_%1").arg(QCoreApplication::applicationPid());
  const QString password = QStringLiteral("pw'quoted");
  const Outcome created = kgadmin({QStringLiteral("create-login"), db->location().setting(), user, password});
  QVERIFY2(created.code == 0, qPrintable(created.err));
  // The login's share of the server's connections, and whom it serves.
  const int serverMax = db->value(QStringLiteral("select current_setting('max_connections')::int")).toInt();
  const int reserved =
      db->value(QStringLiteral("select current_setting('superuser_reserved_connections')::int")).toInt();
  const int limit = (serverMax - reserved - 5) / 2 * 2;
  QCOMPARE(db->value(QStringLiteral("select rolconnlimit from pg_roles where rolname = '%1'").arg(user)).toInt(),
           limit);
  QVERIFY2(
      created.out.contains(QStringLiteral("at most %1 connections, for %2 clients at once").arg(limit).arg(limit / 2)),
      qPrintable(created.out));

  StoreLocation client = db->location();
  client.user = user;
  client.password = password;
  bool filed = false;
  QStringList refused;
  try {
    QueryObject query(QStringLiteral("ADOTab"), 10, client);
    query.setSql(Statement::plain(QStringLiteral("select 幼儿园填报,幼儿园版本 from lz_kttb")));
    query.open();
    QCOMPARE(query.fieldAsString(QStringLiteral("幼儿园版本")), QStringLiteral("202206181"));
    query.close();
    query.setSql(
        Statement::compare(QStringLiteral("select * from lz_xzcz where 村或社区='"), QStringLiteral("和平社区")));
    query.open();
    query.close();
    // The client's guarded append: select, count, lock and insert.
    query.setSql(
        Statement::compare(QStringLiteral("select 身份证号,姓名,申请幼儿园名称 from lz_yjxxk where 身份证号='"),
                           QStringLiteral("110101201905011234")));
    query.open();
    query.append();
    query.setField(QStringLiteral("身份证号"), QStringLiteral("110101201905011234"));
    query.setField(QStringLiteral("姓名"), QStringLiteral("张三"));
    query.setField(QStringLiteral("申请幼儿园名称"), QStringLiteral("西岭幼儿园本部"));
    AppendGuard guard{QStringLiteral("申请幼儿园名称"), QStringLiteral("西岭幼儿园本部"), QStringLiteral("身份证号"),
                      QStringLiteral("110101201905011234")};
    query.post(&guard);
    filed = true;
    for (const QString &statement :
         {QStringLiteral("update lz_yjxxk set 姓名 = '李四'"), QStringLiteral("delete from lz_yjxxk"),
          QStringLiteral("insert into lz_xzcz (村或社区, 组数) values ('新社区', 3)"),
          QStringLiteral("update lz_kttb set 幼儿园填报 = true"), QStringLiteral("create table kg_other (x int)")}) {
      query.close();
      query.setSql(Statement::plain(statement));
      try {
        query.open();
      } catch (const StoreError &) {
        refused << statement;
      }
    }
  } catch (const StoreError &error) {
    QWARN(qPrintable(error.message()));
  }
  db->exec(QStringLiteral("drop owned by %1").arg(user));
  db->exec(QStringLiteral("drop role %1").arg(user));
  QVERIFY(filed);
  QCOMPARE(refused.size(), 5);
  QCOMPARE(db->count(QStringLiteral("select * from lz_yjxxk where 姓名 = '张三'")), 1);
}

// A second store on the same server, with a login of its own: making the
// first store's login changes nothing in any other database, and the second
// login goes on filing there.
void StoreAdminTest::createLoginTouchesOnlyItsDatabase() {
  auto first = TestStore::postgres();
  KG_REQUIRE_PG(first->available());
  auto second = TestStore::postgres();
  const QString pid = QString::number(QCoreApplication::applicationPid());
  const QString firstUser = QStringLiteral("kgfirst_") + pid;
  const QString secondUser = QStringLiteral("kgsecond_") + pid;
  const auto cleanUp = qScopeGuard([&] {
    for (const QString &user : {firstUser, secondUser}) {
      for (TestStore *store : {first.get(), second.get()})
        store->exec(QStringLiteral("drop owned by %1").arg(user));
      first->exec(QStringLiteral("drop role if exists %1").arg(user));
    }
  });
  QCOMPARE(
      kgadmin({QStringLiteral("create-login"), second->location().setting(), secondUser, QStringLiteral("pw2")}).code,
      0);
  const QString rights = QStringLiteral("select string_agg(datname || ':' || coalesce(datacl::text, 'default'), ' ' "
                                        "order by datname) from pg_database where datname <> '%1'")
                             .arg(first->location().database);
  const QString before = first->value(rights).toString();
  const Outcome created =
      kgadmin({QStringLiteral("create-login"), first->location().setting(), firstUser, QStringLiteral("pw1")});
  QVERIFY2(created.code == 0, qPrintable(created.err));
  QCOMPARE(first->value(rights).toString(), before);
  // Keeping the login to its database is the server's rules' part: said, with
  // the lines that do it.
  QVERIFY2(created.out.contains(QStringLiteral("host  all  %1  all  reject").arg(firstUser)), qPrintable(created.out));

  StoreLocation client = second->location();
  client.user = secondUser;
  client.password = QStringLiteral("pw2");
  QueryObject query(QStringLiteral("ADOTab"), 10, client);
  query.setSql(Statement::plain(QStringLiteral("select 幼儿园填报,幼儿园版本 from lz_kttb")));
  query.open();
  QCOMPARE(query.fieldAsString(QStringLiteral("幼儿园版本")), QStringLiteral("202206181"));
}

void StoreAdminTest::mssqlLoginScript() {
  const Outcome script =
      kgadmin({QStringLiteral("print-mssql-login-script"), QStringLiteral("kgclient"), QStringLiteral("O'Brien#1")});
  QCOMPARE(script.code, 0);
  for (const QString &line :
       {QStringLiteral("CREATE LOGIN [kgclient] WITH PASSWORD = N'O''Brien#1', DEFAULT_DATABASE = mqrsdata"),
        QStringLiteral("USE mqrsdata;"), QStringLiteral("CREATE USER [kgclient] FOR LOGIN [kgclient];"),
        QStringLiteral("GRANT SELECT ON dbo.lz_kttb TO [kgclient];"),
        QStringLiteral("GRANT SELECT ON dbo.lz_xzcz TO [kgclient];"),
        QStringLiteral("GRANT SELECT ON dbo.lz_yjxxk TO [kgclient];"),
        QStringLiteral("GRANT EXECUTE ON dbo.kg_append TO [kgclient];"),
        QStringLiteral("REVOKE INSERT, UPDATE, DELETE ON dbo.lz_yjxxk TO [kgclient];"),
        QStringLiteral("DENY EXECUTE ON sys.sp_getapplock TO [kgclient];")})
    QVERIFY2(script.out.contains(line), qPrintable(line));
  // Nothing granted beyond the selects and the append.
  QCOMPARE(script.out.count(QStringLiteral("GRANT")), 4);
  QVERIFY(!script.out.contains(QRegularExpression(QStringLiteral("GRANT[^;]*(INSERT|UPDATE|DELETE|ALTER|CONTROL)"))));

  const Outcome schemaText = kgadmin({QStringLiteral("print-schema"), QStringLiteral("mssql")});
  QCOMPARE(schemaText.code, 0);
  QVERIFY(schemaText.out.contains(QStringLiteral("身份证号 nvarchar(18) not null")));
  QVERIFY(schemaText.out.contains(QStringLiteral("填报日期 datetime")));
  QVERIFY(schemaText.out.contains(QStringLiteral("unique (身份证号)")));
  QVERIFY(schemaText.out.contains(QStringLiteral("values (N'正阳社区', 12)")));
  // The recording time and the record of changes, as on the other servers.
  QVERIFY(schemaText.out.contains(QStringLiteral("default sysdatetime() for 记录时间")));
  QVERIFY(schemaText.out.contains(QStringLiteral("create table lz_xgjl")));
  QVERIFY(
      schemaText.out.contains(QStringLiteral("create trigger tr_lz_yjxxk_change on lz_yjxxk after update, delete")));
  QVERIFY(schemaText.out.contains(QStringLiteral("session_context(N'kg.reason')")));
}

KG_TEST_MAIN(StoreAdminTest)
#include "tst_store_admin.moc"
