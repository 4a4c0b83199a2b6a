// The client's login on PostgreSQL in the hands of someone who took it from
// a guardian's computer (every computer holds it), as `kgadmin create-login`
// makes it on a server whose rules (pg_hba.conf) follow what create-login
// says. Each row is one attack, made with the login straight through libpq,
// and then a guardian files through the real windows: what the guardian is
// told, and what is stored. A private cluster with 20 connections, so that
// the login's share of them can be used up without starving other suites.

#include "fixture/applicationform.h"
#include "fixture/clientwindows.h"
#include "fixture/dialogscript.h"
#include "fixture/kgadmin.h"
#include "fixture/privatecluster.h"
#include "fixture/required.h"
#include "fixture/testmain.h"
#include "fixture/teststore.h"

#include "form/unit2.h"
#include "main/unit1.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QThread>
#include <atomic>
#include <libpq-fe.h>
#include <memory>
#include <thread>
#include <vector>

namespace {

const QString kSuccess = QStringLiteral("恭喜！\r\r   申请表提交成功,请到指定地点上交材料");
const QString kMain = QStringLiteral("西岭幼儿园本部");
const QString kSmall = QStringLiteral("西岭幼儿园回龙园区"); // 43 places

// A session of the client's login, as an attacker holds it.
class Attacker {
public:
  explicit Attacker(const StoreLocation &login, const QString &database = QString()) {
    const QByteArray conninfo = QStringLiteral("host=127.0.0.1 port=%1 dbname=%2 user=%3 password=%4")
                                    .arg(login.port)
                                    .arg(database.isEmpty() ? login.database : database, login.user, login.password)
                                    .toUtf8();
    m_connection = PQconnectdb(conninfo.constData());
  }
  ~Attacker() { PQfinish(m_connection); }
  Attacker(const Attacker &) = delete;
  Attacker &operator=(const Attacker &) = delete;

  bool connected() const { return PQstatus(m_connection) == CONNECTION_OK; }
  QString connectError() const { return QString::fromUtf8(PQerrorMessage(m_connection)).trimmed(); }
  int pid() const { return PQbackendPID(m_connection); }
  // Runs a statement; its first value, or the error ("error: ...").
  QString run(const QString &sql) {
    PGresult *result = PQexec(m_connection, sql.toUtf8().constData());
    const ExecStatusType status = PQresultStatus(result);
    QString answer;
    if (status == PGRES_TUPLES_OK && PQntuples(result) > 0)
      answer = QString::fromUtf8(PQgetvalue(result, 0, 0));
    else if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
      answer = QStringLiteral("error: ") + QString::fromUtf8(PQresultErrorMessage(result)).trimmed();
    PQclear(result);
    return answer;
  }
  // Sends a statement and does not wait for it.
  bool send(const QString &sql) { return PQsendQuery(m_connection, sql.toUtf8().constData()) == 1; }
  // Whether the session still answers.
  bool alive() {
    while (PGresult *left = PQgetResult(m_connection))
      PQclear(left);
    return run(QStringLiteral("select 1")) == QLatin1String("1");
  }

private:
  PGconn *m_connection = nullptr;
};

// The call of kg_append for one application, as the login may make it.
QString appendCall(const QString &number, const QString &kindergarten) {
  return QStringLiteral("select kg_append('王小红', '女', '%1', '%2', '小班', '汉族', '2019-03-05', '澄岭区', "
                        "'西岭街道', '正阳社区', '1组', '王大', '父子', '和平路8号', '2020-01-02', '王大', "
                        "'13800000001', '', '', '2022-06-20')")
      .arg(number, kindergarten);
}

} // namespace

class HostileLoginTest : public QObject {
  Q_OBJECT
private slots:
  void initTestCase();
  void cleanupTestCase();
  void init();
  void attack_data();
  void attack();

private:
  // A guardian files for the number at the kindergarten through the real
  // windows; what the store step told, and how long it took.
  QString file(const QString &number, const QString &kindergarten, qint64 *elapsed = nullptr);
  int stored(const QString &where);
  QString serverLog() const;

  std::unique_ptr<PrivateCluster> m_cluster;
  std::unique_ptr<TestStore> m_store;
  StoreLocation m_login;
  int m_limit = 0;
};

void HostileLoginTest::initTestCase() {
  KG_REQUIRE_PG(!qEnvironmentVariableIsEmpty("KG_TEST_PG"));
  qputenv("KG_PG_MAX_CONNECTIONS", "20");
  m_cluster = std::make_unique<PrivateCluster>(QStringLiteral("hostile"), 55409);
  const bool started = m_cluster->start();
  qunsetenv("KG_PG_MAX_CONNECTIONS");
  QVERIFY2(started, "pg.sh start failed for the private cluster");
  m_store = m_cluster->testStore();
  QVERIFY(m_store->available());
  m_store->setClock(QDateTime(QDate(2022, 6, 20), QTime(10, 15, 30)));

  m_login = m_store->location();
  m_login.user = QStringLiteral("kgclient");
  m_login.password = QStringLiteral("pw_client");
  const AdminOutcome created =
      kgadmin({QStringLiteral("create-login"), m_store->location().setting(), m_login.user, m_login.password});
  QVERIFY2(created.code == 0, qPrintable(created.err));
  // Two connections for each client, out of 20 less 3 for superusers and 5
  // for the administrator.
  m_limit = m_store->value(QStringLiteral("select rolconnlimit from pg_roles where rolname = 'kgclient'")).toInt();
  QCOMPARE(m_limit, 12);
  QVERIFY2(created.out.contains(QStringLiteral("for 6 clients at once")), qPrintable(created.out));
  // The server's rules as create-login asks: the login reaches its own
  // database only.
  static const QRegularExpression lines(QStringLiteral("\n    (host  .*)\n    (host  .*)\n"));
  const QRegularExpressionMatch asked = lines.match(created.out);
  QVERIFY2(asked.hasMatch(), qPrintable(created.out));
  QFile rules(m_cluster->folder() + QStringLiteral("/data/pg_hba.conf"));
  QVERIFY(rules.open(QIODevice::ReadOnly));
  const QByteArray before = rules.readAll();
  rules.close();
  QVERIFY(rules.open(QIODevice::WriteOnly | QIODevice::Truncate));
  rules.write((asked.captured(1) + QLatin1Char('\n') + asked.captured(2) + QLatin1Char('\n')).toUtf8() + before);
  rules.close();
  m_store->exec(QStringLiteral("select pg_reload_conf()"));
  QTest::qWait(500);
}

void HostileLoginTest::cleanupTestCase() {
  m_store.reset();
  m_cluster.reset();
}

void HostileLoginTest::init() {
  if (m_store)
    m_store->exec(QStringLiteral("delete from lz_yjxxk"));
}

int HostileLoginTest::stored(const QString &where) {
  return m_store->count(QStringLiteral("select * from lz_yjxxk where %1").arg(where));
}

QString HostileLoginTest::serverLog() const {
  QFile log(m_cluster->folder() + QStringLiteral("/server.log"));
  return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
}

QString HostileLoginTest::file(const QString &number, const QString &kindergarten, qint64 *elapsed) {
  WorkingClient client(m_login);
  Form1->sfzEdit->setText(number);
  Form1->BitBtn2->click();
  if (!Form2->isVisible())
    return client.boxes.texts().join(QLatin1Char('|'));
  fillApplication(QStringLiteral("西岭街道"), QStringLiteral("正阳社区"), kindergarten);
  client.boxes.clear();
  QElapsedTimer waited;
  waited.start();
  QTest::mouseClick(Form2->qdBit, Qt::LeftButton);
  if (elapsed)
    *elapsed = waited.elapsed();
  const QStringList texts = client.boxes.texts();
  // The quota refusal comes before the three confirmations; the outcome of
  // the append after them.
  return texts.size() > 3 ? texts.at(3) : texts.value(0);
}

void HostileLoginTest::attack_data() {
  QTest::addColumn<QString>("attack");
  QTest::addColumn<QString>("kindergarten"); // where the guardian files
  QTest::addColumn<QString>("told");         // what the guardian is told
  QTest::addColumn<int>("rowsThere");        // applications stored there afterwards
  const QString full = QStringLiteral("对不起![西岭幼儿园回龙园区]申请名额已满,不能再申报.\r\n\r\n  "
                                      "请到西岭街道其他幼儿园联系报名");
  // 200 appends past the quota, with a capacity of the login's choice or
  // without: no more than the 43 places are taken (by made-up children, a
  // harm no store reached with the guardians' own login can tell apart).
  QTest::newRow("quota bypass") << "quota" << kSmall << full << 43;
  // begin; select kg_append(...); and the transaction left open.
  QTest::newRow("lock held in an open transaction") << "transaction" << kMain << kSuccess << 1;
  // One statement that goes on after kg_append: select kg_append(...), pg_sleep(60).
  QTest::newRow("lock held by a statement that goes on") << "statement" << kMain << kSuccess << 1;
  // pg_terminate_backend on every other session of the login, in a loop.
  QTest::newRow("ending the login's other sessions") << "terminate" << kMain << kSuccess << 1;
  // 10 MB in a large object; a notification.
  QTest::newRow("large objects and notifications") << "largeObject" << kMain << kSuccess << 1;
  // Every connection the login may hold, taken while a guardian files; then
  // a guardian who starts finds none.
  QTest::newRow("all the login's connections") << "connections" << kMain << kSuccess << 1;
  // The server's other databases.
  QTest::newRow("another database") << "database" << kMain << kSuccess << 1;
  // Defaults the login gives its own role, which every new session gets.
  QTest::newRow("the login's own defaults") << "defaults" << kMain << kSuccess << 1;
}

void HostileLoginTest::attack() {
  QFETCH(QString, attack);
  QFETCH(QString, kindergarten);
  QFETCH(QString, told);
  QFETCH(int, rowsThere);
  const QString number = QStringLiteral("110101201903050021");
  const QString where = QStringLiteral("申请幼儿园名称 = '%1'").arg(kindergarten);
  qint64 elapsed = 0;
  QString answer;

  if (attack == QLatin1String("quota")) {
    Attacker attacker(m_login);
    QVERIFY(attacker.connected());
    // The capacity the append took from its caller is gone.
    const QString withCapacity =
        attacker.run(QStringLiteral("select kg_append(-1, true, ") + appendCall(number, kSmall).mid(17));
    QVERIFY2(withCapacity.contains(QStringLiteral("function kg_append(")) &&
                 withCapacity.contains(QStringLiteral("does not exist")),
             qPrintable(withCapacity));
    QString stormed;
    for (int i = 1; i <= 200; ++i)
      stormed = attacker.run(appendCall(QStringLiteral("1101012019010%1").arg(i, 5, 10, QLatin1Char('0')), kSmall));
    QCOMPARE(stormed, QStringLiteral("1")); // full
    answer = file(number, kindergarten);
  } else if (attack == QLatin1String("transaction") || attack == QLatin1String("statement")) {
    Attacker attacker(m_login);
    QVERIFY(attacker.connected());
    const int holder = attacker.pid();
    const QString call = appendCall(QStringLiteral("110101201901010001"), kMain);
    if (attack == QLatin1String("transaction")) {
      QCOMPARE(attacker.run(QStringLiteral("begin")), QString());
      QCOMPARE(attacker.run(call), QStringLiteral("0"));
    } else {
      QVERIFY(attacker.send(call + QStringLiteral(", pg_sleep(60)")));
      QTest::qWait(300);
    }
    answer = file(number, kindergarten, &elapsed);
    // The server ended the session that kept the lock, and said so.
    QVERIFY(!attacker.alive());
    QVERIFY2(serverLog().contains(QStringLiteral("kg_append: ended session %1 of kgclient").arg(holder)),
             "the server's log names the ended session");
    // The guardian waited for a few seconds, not for the attacker.
    QVERIFY2(elapsed < 8000, qPrintable(QStringLiteral("%1 ms").arg(elapsed)));
  } else if (attack == QLatin1String("terminate")) {
    std::atomic<bool> done{false};
    std::atomic<int> refused{0};
    std::atomic<int> ended{0};
    std::thread loop([&] {
      Attacker attacker(m_login);
      while (!done) {
        const QString result = attacker.run(
            QStringLiteral("select count(*) from (select pg_terminate_backend(pid) from pg_stat_activity where "
                           "usename = current_user and pid <> pg_backend_pid()) s"));
        if (result.contains(QStringLiteral("permission denied")))
          ++refused;
        else
          ++ended;
        QThread::msleep(5);
      }
    });
    answer = file(number, kindergarten);
    done = true;
    loop.join();
    QVERIFY(refused > 0);
    QCOMPARE(ended.load(), 0);
    Attacker canceller(m_login);
    QVERIFY(canceller.run(QStringLiteral("select pg_cancel_backend(pg_backend_pid())"))
                .contains(QStringLiteral("permission denied")));
  } else if (attack == QLatin1String("largeObject")) {
    Attacker attacker(m_login);
    QVERIFY(attacker.run(QStringLiteral("select lo_from_bytea(0, convert_to(repeat('x', 10000000), 'UTF8'))"))
                .contains(QStringLiteral("permission denied")));
    QVERIFY(attacker.run(QStringLiteral("select lo_create(0)")).contains(QStringLiteral("permission denied")));
    QVERIFY(attacker.run(QStringLiteral("select pg_notify('kg', repeat('x', 7000))"))
                .contains(QStringLiteral("permission denied")));
    QCOMPARE(m_store->count(QStringLiteral("select * from pg_largeobject_metadata")), 0);
    answer = file(number, kindergarten);
  } else if (attack == QLatin1String("connections")) {
    std::vector<std::unique_ptr<Attacker>> sessions;
    {
      WorkingClient client(m_login);
      Form1->sfzEdit->setText(number);
      Form1->BitBtn2->click();
      QVERIFY(Form2->isVisible());
      fillApplication(QStringLiteral("西岭街道"), QStringLiteral("正阳社区"), kindergarten);
      // The guardian's client holds its two connections; the attacker takes
      // every other one the login may have, and no more.
      QString refusal;
      for (int i = 0; i < m_limit + 5; ++i) {
        auto session = std::make_unique<Attacker>(m_login);
        if (!session->connected()) {
          refusal = session->connectError();
          break;
        }
        sessions.push_back(std::move(session));
      }
      QCOMPARE(int(sessions.size()), m_limit - 2);
      QVERIFY2(refusal.contains(QStringLiteral("too many connections for role")), qPrintable(refusal));
      // The administrator still gets in.
      QCOMPARE(kgadmin({QStringLiteral("status"), m_store->location().setting()}).code, 0);
      client.boxes.clear();
      QTest::mouseClick(Form2->qdBit, Qt::LeftButton);
      answer = client.boxes.texts().value(3);
    }
    // The attacker takes the two the guardian's client gave back; a guardian
    // who starts now is told at once, and nothing is stored for her.
    for (int i = 0; i < 2; ++i) {
      sessions.push_back(std::make_unique<Attacker>(m_login));
      QVERIFY(sessions.back()->connected());
    }
    {
      ClientWindows windows(m_login);
      DialogScript boxes;
      windows.start();
      QCOMPARE(boxes.texts(), QStringList{QStringLiteral("网络问题,请重新登录")});
      QCOMPARE(Form1->Tag, 0);
    }
  } else if (attack == QLatin1String("database")) {
    Attacker elsewhere(m_login, QStringLiteral("postgres"));
    QVERIFY(!elsewhere.connected());
    QVERIFY2(elsewhere.connectError().contains(QStringLiteral("pg_hba.conf rejects")),
             qPrintable(elsewhere.connectError()));
    answer = file(number, kindergarten);
  } else if (attack == QLatin1String("defaults")) {
    {
      Attacker attacker(m_login);
      for (const QString &setting :
           {QStringLiteral("search_path = 'nowhere'"), QStringLiteral("default_transaction_read_only = on"),
            QStringLiteral("default_transaction_isolation = 'serializable'"), QStringLiteral("statement_timeout = 1")})
        QCOMPARE(attacker.run(QStringLiteral("alter role kgclient set ") + setting), QString());
    }
    answer = file(number, kindergarten);
    // create-login takes them away again.
    QCOMPARE(
        kgadmin({QStringLiteral("create-login"), m_store->location().setting(), m_login.user, m_login.password}).code,
        0);
    QCOMPARE(m_store
                 ->value(QStringLiteral("select array_to_string(rolconfig, ' ') from pg_roles where rolname = "
                                        "'kgclient'"))
                 .toString(),
             QStringLiteral("temp_file_limit=64MB"));
  }
  qInfo("%s: the guardian was told \"%s\" (after %lld ms)", qPrintable(attack), qPrintable(answer.left(16)), elapsed);
  QCOMPARE(answer, told);
  QCOMPARE(stored(where), rowsThere);
  QCOMPARE(stored(QStringLiteral("身份证号 = '%1'").arg(number)), told == kSuccess ? 1 : 0);
}

KG_TEST_MAIN(HostileLoginTest)
#include "tst_pg_hostile.moc"
