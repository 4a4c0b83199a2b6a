// The link between the client and its PostgreSQL store breaks while the
// guarded append is on its way: the client cannot know whether the server
// stored the row, and reads it back on a new connection before it answers.
// A relay on loopback between the query object and the server breaks the
// link at the chosen moment.

#include "fixture/required.h"
#include "fixture/testmain.h"
#include "fixture/teststore.h"

#include "store/queryobject.h"

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const QString kNumber = QStringLiteral("110101201905011234");

// Forwards every connection made to its port to the server's port. Armed, it
// breaks the next connection that carries data in the armed direction: the
// data is dropped and both ends are closed.
class Relay {
public:
  enum class Break { Nothing, Request, Reply };

  explicit Relay(int serverPort) : m_serverPort(serverPort) {
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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
  void arm(Break what) { m_break = what; }
  bool broken() const { return m_broken; }

private:
  struct Pair {
    int client;
    int server;
  };
  void run() {
    std::vector<Pair> pairs;
    while (!m_stop) {
      std::vector<pollfd> sockets{{m_listener, POLLIN, 0}};
      for (const Pair &pair : pairs) {
        sockets.push_back({pair.client, POLLIN, 0});
        sockets.push_back({pair.server, POLLIN, 0});
      }
      if (::poll(sockets.data(), sockets.size(), 50) <= 0)
        continue;
      std::vector<Pair> open;
      for (std::size_t i = 0; i < pairs.size(); ++i) {
        Pair pair = pairs[i];
        bool closed = false;
        for (const bool fromClient : {true, false}) {
          const pollfd &ready = sockets[1 + 2 * i + (fromClient ? 0 : 1)];
          if (closed || !(ready.revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
          char buffer[65536];
          const ssize_t got = ::recv(ready.fd, buffer, sizeof buffer, 0);
          Break armed = fromClient ? Break::Request : Break::Reply;
          if (got <= 0 || m_break.compare_exchange_strong(armed, Break::Nothing)) {
            if (got > 0)
              m_broken = true;
            closed = true;
            continue;
          }
          ::send(fromClient ? pair.server : pair.client, buffer, std::size_t(got), MSG_NOSIGNAL);
        }
        if (closed) {
          ::close(pair.client);
          ::close(pair.server);
        } else {
          open.push_back(pair);
        }
      }
      pairs = open;
      if (sockets[0].revents & POLLIN) {
        const int client = ::accept(m_listener, nullptr, nullptr);
        const int server = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(quint16(m_serverPort));
        ::connect(server, reinterpret_cast<sockaddr *>(&address), sizeof address);
        pairs.push_back({client, server});
      }
    }
    for (const Pair &pair : pairs) {
      ::close(pair.client);
      ::close(pair.server);
    }
  }

  int m_serverPort;
  int m_listener = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<Break> m_break{Break::Nothing};
  std::atomic<bool> m_broken{false};
  std::thread m_thread;
};

} // namespace

class LostLinkTest : public QObject {
  Q_OBJECT
private slots:
  void appendWithLinkLost_data();
  void appendWithLinkLost();
};

void LostLinkTest::appendWithLinkLost_data() {
  QTest::addColumn<int>("breaks"); // Relay::Break
  QTest::addColumn<bool>("stored");
  // The server committed the row; its answer is lost on the way back.
  QTest::newRow("answer lost after the commit") << int(Relay::Break::Reply) << true;
  // The append never reached the server.
  QTest::newRow("request lost on the way") << int(Relay::Break::Request) << false;
}

void LostLinkTest::appendWithLinkLost() {
  QFETCH(int, breaks);
  QFETCH(bool, stored);
  auto db = TestStore::postgres();
  KG_REQUIRE_PG(db->available());
  Relay relay(db->location().port);
  StoreLocation location = db->location();
  location.host = QStringLiteral("127.0.0.1");
  location.port = relay.port();

  QueryObject query(QStringLiteral("ADOTab"), 10, location);
  auto append = [&](const QString &number, Relay::Break breaking) {
    query.close();
    query.setSql(Statement::compare(QStringLiteral("select * from lz_yjxxk where 身份证号='"), number));
    query.open();
    const QVariantMap row = TestStore::sampleApplication(number);
    AppendGuard guard;
    guard.quotaColumn = QStringLiteral("申请幼儿园名称");
    guard.quotaValue = row.value(guard.quotaColumn);
    guard.uniqueColumn = QStringLiteral("身份证号");
    guard.uniqueValue = number;
    query.append();
    for (auto it = row.cbegin(); it != row.cend(); ++it)
      query.setField(it.key(), it.value());
    relay.arm(breaking);
    query.post(&guard);
  };
  // An earlier filing on the same connection: the append is prepared there.
  append(QStringLiteral("110101201905015678"), Relay::Break::Nothing);

  bool succeeded = true;
  try {
    append(kNumber, Relay::Break(breaks));
  } catch (const StoreError &) {
    succeeded = false;
  }
  QVERIFY(relay.broken());
  QCOMPARE(succeeded, stored);
  QCOMPARE(db->count(QStringLiteral("select * from lz_yjxxk where 身份证号 = '%1'").arg(kNumber)), stored ? 1 : 0);
  // The same object goes on working on a new connection.
  query.close();
  query.setSql(Statement::compare(QStringLiteral("select * from lz_yjxxk where 身份证号='"), kNumber));
  query.open();
  QCOMPARE(query.rowCount(), stored ? 1 : 0);
}

KG_TEST_MAIN(LostLinkTest)
#include "tst_pg_lost_link.moc"
