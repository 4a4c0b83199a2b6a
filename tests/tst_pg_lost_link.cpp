// The link between the client and its PostgreSQL store breaks, or goes down
// for a while, around the guarded append: the client cannot know whether the
// server stored the row, and asks the store before it tells the guardian. A
// relay on loopback between the client and the server breaks the link, or
// holds everything that crosses it, from the moment the append is sent or
// its answer comes back. What the guardian is told must be what is stored,
// and no session but the client's own may be ended for it, not even when the
// server has given the client's old process number to another guardian.

#include "fixture/applicationform.h"
#include "fixture/clientwindows.h"
#include "fixture/dialogscript.h"
#include "fixture/privatecluster.h"
#include "fixture/required.h"
#include "fixture/testmain.h"
#include "fixture/teststore.h"

#include "form/unit2.h"
#include "main/unit1.h"
#include "store/queryobject.h"

#include <QElapsedTimer>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <libpq-fe.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const QString kNumber = QStringLiteral("110101201903050021");
const QString kSuccess = QStringLiteral("恭喜！\r\r   申请表提交成功,请到指定地点上交材料");
const QString kFailure = QStringLiteral("网络问题,提交申请表失败,请重新进行");
// Only the append carries the guardian's phone number (fillApplication's).
const std::string kAppendMark = "13800000001";

using Clock = std::chrono::steady_clock;

// Forwards every connection made to its port to the server's port, like a
// network. Armed, it acts on the append (the first piece from a client that
// carries kAppendMark) or on the answer that follows it:
//   DropRequest, DropReply  the piece is lost and both ends are closed
//                           (optionally the network then stays down for a
//                           while);
//   HoldRequest, HoldReply  the network goes down for a while from that
//                           piece on: nothing crosses it, in either direction,
//                           and no new connection gets through; then what
//                           waited goes on. A client that reset its
//                           connection meanwhile has withdrawn what it sent
//                           (its system sends nothing more of it), and the
//                           server's end is closed when the network is back.
class Relay {
public:
  enum class Act { Nothing, DropRequest, DropReply, HoldRequest, HoldReply };

  explicit Relay(int serverPort) : m_serverPort(serverPort) {
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::listen(m_listener, 16);
    socklen_t size = sizeof address;
    ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &size);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { run(); });
  }
  ~Relay() {
    m_stop = true;
    m_thread.join();
    ::close(m_listener);
  }
  int port() const { return m_port; }
  // Acts on the next append; downMs: how long the network is down (after a
  // drop: from then on; -1: until up() is called).
  void arm(Act act, int downMs = 0) {
    m_downMs = downMs;
    m_act = act;
  }
  bool acted() const { return m_acted; }
  void up() { m_manualDown = false; }

private:
  struct Pair {
    int client = -1;
    int server = -1;
    std::string toServer;
    std::string toClient;
    bool clientGone = false; // reset: what it sent is withdrawn
    bool clientEnded = false;
    bool actOnReply = false;
  };
  static sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(quint16(port));
    return address;
  }
  bool down() const { return m_manualDown || Clock::now() < m_downUntil.load(); }
  void goDown() {
    if (m_downMs < 0)
      m_manualDown = true;
    else
      m_downUntil = Clock::now() + std::chrono::milliseconds(m_downMs.load());
  }
  static void send(int socket, std::string &bytes) {
    if (!bytes.empty())
      ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    bytes.clear();
  }
  static void closeBoth(Pair &pair) {
    if (pair.client >= 0)
      ::close(pair.client);
    if (pair.server >= 0)
      ::close(pair.server);
    pair.client = pair.server = -1;
  }

  void fromClient(Pair &pair) {
    char buffer[65536];
    const ssize_t got = ::recv(pair.client, buffer, sizeof buffer, 0);
    if (got <= 0) {
      if (got < 0 && errno == EINTR)
        return;
      // A reset withdraws what was sent; an orderly end lets it arrive.
      pair.clientGone = got < 0;
      pair.clientEnded = true;
      if (pair.clientGone)
        pair.toServer.clear();
      ::close(pair.client);
      pair.client = -1;
      return;
    }
    std::string piece(buffer, std::size_t(got));
    if (m_act != Act::Nothing && piece.find(kAppendMark) != std::string::npos) {
      const Act act = m_act.exchange(Act::Nothing);
      m_acted = true;
      switch (act) {
      case Act::DropRequest:
        closeBoth(pair);
        if (m_downMs != 0)
          goDown();
        return;
      case Act::HoldRequest: goDown(); break;
      case Act::DropReply:
      case Act::HoldReply:
        pair.actOnReply = true;
        m_replyAct = act;
        break;
      case Act::Nothing: break;
      }
    }
    pair.toServer += piece;
    if (!down())
      send(pair.server, pair.toServer);
  }

  void fromServer(Pair &pair) {
    char buffer[65536];
    const ssize_t got = ::recv(pair.server, buffer, sizeof buffer, 0);
    if (got <= 0) {
      if (got < 0 && errno == EINTR)
        return;
      if (pair.client >= 0 && !down())
        send(pair.client, pair.toClient);
      closeBoth(pair);
      return;
    }
    if (pair.actOnReply) {
      pair.actOnReply = false;
      if (m_replyAct == Act::DropReply) {
        closeBoth(pair);
        if (m_downMs != 0)
          goDown();
        return;
      }
      goDown();
    }
    if (pair.client < 0)
      return; // nobody to take it
    pair.toClient.append(buffer, std::size_t(got));
    if (!down())
      send(pair.client, pair.toClient);
  }

  void run() {
    std::vector<Pair> pairs;
    bool wasDown = false;
    while (!m_stop) {
      const bool isDown = down();
      if (wasDown && !isDown) {
        // The network is back: what waited goes on; the server's end of a
        // connection its client left is closed.
        for (Pair &pair : pairs) {
          if (pair.server >= 0)
            send(pair.server, pair.toServer);
          if (pair.client >= 0)
            send(pair.client, pair.toClient);
          if (pair.clientEnded)
            closeBoth(pair);
        }
      }
      wasDown = isDown;
      std::erase_if(pairs, [](const Pair &pair) { return pair.client < 0 && pair.server < 0; });
      std::vector<pollfd> sockets{{isDown ? -1 : m_listener, POLLIN, 0}};
      for (const Pair &pair : pairs) {
        sockets.push_back({pair.client, POLLIN, 0});
        sockets.push_back({pair.server, POLLIN, 0});
      }
      if (::poll(sockets.data(), sockets.size(), 20) <= 0)
        continue;
      for (std::size_t i = 0; i < pairs.size(); ++i) {
        Pair &pair = pairs[i];
        if (pair.client >= 0 && (sockets[1 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR)))
          fromClient(pair);
        if (pair.server >= 0 && (sockets[2 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR)))
          fromServer(pair);
        if (pair.clientEnded && pair.server >= 0 && !down())
          closeBoth(pair);
      }
      if (sockets[0].revents & POLLIN) {
        Pair pair;
        pair.client = ::accept(m_listener, nullptr, nullptr);
        pair.server = ::socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in address = loopback(m_serverPort);
        ::connect(pair.server, reinterpret_cast<const sockaddr *>(&address), sizeof address);
        pairs.push_back(pair);
      }
    }
    for (Pair &pair : pairs)
      closeBoth(pair);
  }

  int m_serverPort;
  int m_listener = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<Act> m_act{Act::Nothing};
  Act m_replyAct = Act::Nothing;
  std::atomic<int> m_downMs{0};
  std::atomic<bool> m_acted{false};
  std::atomic<bool> m_manualDown{false};
  std::atomic<Clock::time_point> m_downUntil{Clock::time_point()};
  std::thread m_thread;
};

} // namespace

class LostLinkTest : public QObject {
  Q_OBJECT
private slots:
  void appendWithLinkLost_data();
  void appendWithLinkLost();
  void odbcAppendWithLinkLost_data();
  void odbcAppendWithLinkLost();
  void oldNumberGivenToAnotherSession();
};

// What happens to the link, and whether the server stored the row. The
// append's time limit (ADOTab) is 10 s; the client then asks the store for
// another 10 s before it speaks.
// Appends the sample application (whose guardian's phone marks it for the
// relay) through the query object, open on its lookup, with the relay
// armed; whether the post succeeded.
static bool postArmed(QueryObject &query, Relay &relay, Relay::Act act, int downMs) {
  const QVariantMap row = TestStore::sampleApplication(kNumber);
  AppendGuard guard{QStringLiteral("申请幼儿园名称"), row.value(QStringLiteral("申请幼儿园名称")),
                    QStringLiteral("身份证号"), kNumber};
  query.append();
  for (auto it = row.cbegin(); it != row.cend(); ++it)
    query.setField(it.key(), it.value());
  relay.arm(act, downMs);
  try {
    query.post(&guard);
    return true;
  } catch (const StoreError &) {
    return false;
  }
}

static void lostLinkRows(bool all) {
  QTest::addColumn<int>("act"); // Relay::Act
  QTest::addColumn<int>("downMs");
  QTest::addColumn<bool>("stored");
  QTest::newRow("request lost on the way") << int(Relay::Act::DropRequest) << 0 << false;
  QTest::newRow("answer lost after the commit") << int(Relay::Act::DropReply) << 0 << true;
  QTest::newRow("answer lost, then the link down 3 s") << int(Relay::Act::DropReply) << 3000 << true;
  QTest::newRow("link down 3 s before the commit") << int(Relay::Act::HoldRequest) << 3000 << true;
  if (!all)
    return;
  QTest::newRow("link down 0.5 s before the commit") << int(Relay::Act::HoldRequest) << 500 << true;
  QTest::newRow("link down 0.5 s after the commit") << int(Relay::Act::HoldReply) << 500 << true;
  QTest::newRow("link down 3 s after the commit") << int(Relay::Act::HoldReply) << 3000 << true;
  QTest::newRow("link down 13 s (longer than the limit) before the commit")
      << int(Relay::Act::HoldRequest) << 13000 << false;
  QTest::newRow("link down 13 s (longer than the limit) after the commit")
      << int(Relay::Act::HoldReply) << 13000 << true;
}

void LostLinkTest::appendWithLinkLost() {
  QFETCH(int, act);
  QFETCH(int, downMs);
  QFETCH(bool, stored);
  auto db = TestStore::postgres();
  KG_REQUIRE_PG(db->available());
  db->setClock(QDateTime(QDate(2022, 6, 20), QTime(10, 15, 30)));
  Relay relay(db->location().port);
  StoreLocation location = db->location();
  location.host = QStringLiteral("127.0.0.1");
  location.port = relay.port();

  WorkingClient client(location);
  Form1->sfzEdit->setText(kNumber);
  Form1->BitBtn2->click();
  QVERIFY(Form2->isVisible());
  fillApplication();
  client.boxes.clear();
  relay.arm(Relay::Act(act), downMs);
  QElapsedTimer waited;
  waited.start();
  QTest::mouseClick(Form2->qdBit, Qt::LeftButton);
  const qint64 elapsed = waited.elapsed();
  QVERIFY(relay.acted());
  relay.up();
  const QStringList texts = client.boxes.texts();
  qInfo("told \"%s\" after %lld ms", qPrintable(texts.value(3).left(12)), elapsed);
  // What the guardian is told against what is stored.
  QCOMPARE(texts.value(3), stored ? kSuccess : kFailure);
  QCOMPARE(db->count(QStringLiteral("select * from lz_yjxxk where 身份证号 = '%1'").arg(kNumber)), stored ? 1 : 0);
  // Within the append's limit and the read-back's, with room to connect.
  QVERIFY2(elapsed < 10000 + 10000 + 4000, qPrintable(QStringLiteral("%1 ms").arg(elapsed)));
  // Nothing arrives later: the server holds what the guardian was told, once
  // every session of the client's old connection has gone.
  QTRY_COMPARE_WITH_TIMEOUT(
      db->count(QStringLiteral("select * from pg_stat_activity where datname = current_database() and "
                               "pid <> pg_backend_pid() and backend_type = 'client backend' and state = 'active'")),
      0, 15000);
  QCOMPARE(db->count(QStringLiteral("select * from lz_yjxxk where 身份证号 = '%1'").arg(kNumber)), stored ? 1 : 0);
}

void LostLinkTest::appendWithLinkLost_data() { lostLinkRows(true); }

void LostLinkTest::odbcAppendWithLinkLost_data() { lostLinkRows(false); }

// The same through ODBC (PostgreSQL's driver; SQL Server's path differs only
// in how the old session's end is waited for).
void LostLinkTest::odbcAppendWithLinkLost() {
  QFETCH(int, act);
  QFETCH(int, downMs);
  QFETCH(bool, stored);
  auto db = TestStore::postgres();
  KG_REQUIRE_PG(db->available());
  Relay relay(db->location().port);
  StoreLocation direct = db->location();
  direct.port = relay.port();
  direct.host = QStringLiteral("127.0.0.1");
  StoreLocation location = StoreLocation::parse(
      QStringLiteral(
          "odbc:Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=%1;Database=%2;Uid=%3;Pwd=%4;BoolsAsChar=0")
          .arg(relay.port())
          .arg(direct.database, direct.user, direct.password));
  QueryObject query(QStringLiteral("ADOTab"), 10, location);
  query.setSql(Statement::compare(QStringLiteral("select * from lz_yjxxk where 身份证号='"), kNumber));
  query.open();
  const bool succeeded = postArmed(query, relay, Relay::Act(act), downMs);
  QVERIFY(relay.acted());
  QCOMPARE(succeeded, stored);
  QCOMPARE(db->count(QStringLiteral("select * from lz_yjxxk where 身份证号 = '%1'").arg(kNumber)), stored ? 1 : 0);
}

// The client's session ends with its link, and the server gives its process
// number to another guardian's new session before the client asks what was
// stored (a server in a namespace of its own, whose numbers are handed out
// again at once). The client must neither end nor wait for that session,
// and must still learn the truth.
void LostLinkTest::oldNumberGivenToAnotherSession() {
  KG_REQUIRE_PG(!qEnvironmentVariableIsEmpty("KG_TEST_PG"));
  PrivateCluster cluster(QStringLiteral("pidreuse"), 55389, PrivateCluster::Pids::OwnNamespace);
  QVERIFY2(cluster.start(), "pg.sh start failed for the cluster in its own namespace");
  auto db = cluster.testStore();
  QVERIFY(db->available());
  Relay relay(db->location().port);
  StoreLocation location = db->location();
  location.host = QStringLiteral("127.0.0.1");
  location.port = relay.port();

  QueryObject query(QStringLiteral("ADOTab"), 10, location);
  query.setSql(Statement::compare(QStringLiteral("select * from lz_yjxxk where 身份证号='"), kNumber));
  query.open();
  const int oldPid = db->value(QStringLiteral("select pid from pg_stat_activity where datname = current_database() "
                                              "and pid <> pg_backend_pid() and application_name like 'kgfiling-%'"))
                         .toInt();
  QVERIFY(oldPid > 0);

  // Another guardian, on a connection of its own, made while the client's
  // link is down and its old session gone, with the old session's number.
  std::atomic<int> otherPid{0};
  std::atomic<bool> done{false};
  PGconn *other = nullptr;
  const QByteArray conninfo = QStringLiteral("host=127.0.0.1 port=%1 dbname=%2 user=%3 password=%4")
                                  .arg(db->location().port)
                                  .arg(db->location().database, db->location().user, db->location().password)
                                  .toUtf8();
  std::thread guardian([&] {
    while (!relay.acted() && !done)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    PGconn *watch = PQconnectdb(conninfo.constData());
    const QByteArray gone = "select count(*) from pg_stat_activity where pid = " + QByteArray::number(oldPid);
    for (int i = 0; i < 500 && !done; ++i) {
      PGresult *result = PQexec(watch, gone.constData());
      const bool ended = PQntuples(result) == 1 && qstrcmp(PQgetvalue(result, 0, 0), "0") == 0;
      PQclear(result);
      if (ended)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    PQfinish(watch);
    for (int attempt = 0; attempt < 50 && !done; ++attempt) {
      cluster.setNextPid(oldPid);
      PGconn *connection = PQconnectdb(conninfo.constData());
      if (PQbackendPID(connection) == oldPid) {
        other = connection;
        otherPid = oldPid;
        break;
      }
      PQfinish(connection);
    }
    relay.up();
  });

  // The append's answer is lost, the server's end closed with it, and the
  // network stays down until the other guardian has the number.
  const bool succeeded = postArmed(query, relay, Relay::Act::DropReply, -1);
  done = true;
  guardian.join();
  QVERIFY2(otherPid == oldPid, "the server did not give the old number again");
  // The client learnt the truth (the server had stored the row)...
  QVERIFY(succeeded);
  QCOMPARE(db->count(QStringLiteral("select * from lz_yjxxk where 身份证号 = '%1'").arg(kNumber)), 1);
  // ... and the other guardian's session lives on.
  PGresult *alive = PQexec(other, "select pg_backend_pid()");
  QCOMPARE(PQresultStatus(alive), PGRES_TUPLES_OK);
  QCOMPARE(QByteArray(PQgetvalue(alive, 0, 0)).toInt(), oldPid);
  PQclear(alive);
  PQfinish(other);
}

KG_TEST_MAIN(LostLinkTest)
#include "tst_pg_lost_link.moc"
