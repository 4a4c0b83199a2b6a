// The program's ending, end to end: the built client runs as a process on the
// virtual desktop (Xvfb with openbox) against a store made for the case, with
// its own regional-settings file; its buttons are pressed with xdotool. The
// process ends with exit status 0 on 不接受, on 退出, on the main window's
// close and on each refusal of the start-up gate (after the guardian has
// answered the gate's message), and it keeps running while the guardian works.

#include "fixture/required.h"
#include "fixture/teststore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kTitle = QStringLiteral("澄岭区2022年城区公办幼儿园小班招生网络填报系统");
const QString kNoticeTitle = QStringLiteral("填报注意事项");
const QString kFormTitle = QStringLiteral("幼儿信息填报框");
const QString kClientFormats = QStringLiteral("sDate=-\nsShortDate=yyyy-MM-dd\nsTimeFormat=HH:mm:ss\n");

// Centres of the controls the cases press, in their window's client
// coordinates, from the windows' layouts: the notice's 已阅读并接受 at
// 285,338 and 不接受 at 479,338; in the working strip along the top of the
// main window, sfzEdit at 195,24, 申请填报 at 438,23, 查询 at 745,24 and
// 退出 at 1080,24.
const QPoint kAccept(285 + 117 / 2, 338 + 25 / 2);
const QPoint kDecline(479 + 101 / 2, 338 + 25 / 2);
const QPoint kBox(195 + 217 / 2, 24 + 31 / 2);
const QPoint kStart(438 + 80 / 2, 23 + 33 / 2);
const QPoint kLookup(745 + 80 / 2, 24 + 33 / 2);
const QPoint kExit(1080 + 75 / 2, 24 + 33 / 2);

QString display() { return qEnvironmentVariable("KG_TEST_DISPLAY"); }

// xdotool on the virtual desktop; its standard output.
QString xdo(const QStringList &arguments, bool *ok = nullptr) {
  QProcess tool;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("DISPLAY"), display());
  tool.setProcessEnvironment(environment);
  tool.start(QStringLiteral("xdotool"), arguments);
  const bool finished = tool.waitForFinished(10000);
  if (ok)
    *ok = finished && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
  return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
}

// The built client as a process on the desktop.
class Client {
public:
  Client(const StoreLocation &store, const QString &regionalFile) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), display());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("KG_STORE"), store.setting());
    environment.insert(QStringLiteral("KG_REGIONAL_FILE"), regionalFile);
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(QStringLiteral(KG_CLIENT_PROGRAM), QStringList());
    process.waitForStarted(10000);
  }
  ~Client() {
    if (process.state() != QProcess::NotRunning) {
      process.kill();
      process.waitForFinished(5000);
    }
  }
  Client(const Client &) = delete;
  Client &operator=(const Client &) = delete;

  bool running() const { return process.state() != QProcess::NotRunning; }

  // The visible windows of the process with this caption.
  QStringList windows(const QString &caption) {
    bool ok = false;
    const QString ids = xdo({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                             QString::number(process.processId())},
                            &ok);
    QStringList named;
    if (!ok)
      return named;
    for (const QString &id : ids.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
      if (xdo({QStringLiteral("getwindowname"), id}) == caption)
        named.append(id);
    return named;
  }

  // Waits for a visible window of the process with this caption other than
  // those given; its id, or empty.
  QString waitForWindow(const QString &caption, const QStringList &besides = QStringList()) {
    QString found;
    (void)QTest::qWaitFor(
        [&] {
          for (const QString &id : windows(caption))
            if (!besides.contains(id))
              found = id;
          return !found.isEmpty() || !running();
        },
        20000);
    return found;
  }

  // Clicks at a point of a window's client area (the window is raised first).
  void click(const QString &window, QPoint at) {
    xdo({QStringLiteral("windowactivate"), QStringLiteral("--sync"), window});
    xdo({QStringLiteral("mousemove"), QStringLiteral("--window"), window, QString::number(at.x()),
         QString::number(at.y()), QStringLiteral("click"), QStringLiteral("1")});
  }

  // Answers the message box standing as the active window with its default
  // button.
  void pressReturnIn(const QString &box) {
    xdo({QStringLiteral("windowactivate"), QStringLiteral("--sync"), box});
    xdo({QStringLiteral("key"), QStringLiteral("Return")});
  }

  // Whether the process ends within the time, with exit status 0.
  bool endsWithZero(int ms = 15000) {
    if (running() && !process.waitForFinished(ms))
      return false;
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
  }

  // Still running after a while: nothing has ended it behind the guardian's back.
  bool keepsRunning(int ms = 1000) {
    QTest::qWait(ms);
    return running();
  }

  QProcess process;
};

} // namespace

class EndingTest : public QObject {
  Q_OBJECT

  std::unique_ptr<TestStore> m_store;
  std::unique_ptr<QTemporaryDir> m_dir;

  QString regionalFile() const { return m_dir->filePath(QStringLiteral("International.ini")); }
  void writeRegional(const QString &text) {
    QFile file(regionalFile());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text.toUtf8());
  }
  QString readRegional() const {
    QFile file(regionalFile());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
  }

  // Starts the client on a passing store and waits for the notice; the
  // client and the ids of the main window and the notice.
  void startToNotice(std::unique_ptr<Client> &client, QString &main, QString &notice) {
    writeRegional(kClientFormats);
    client = std::make_unique<Client>(m_store->location(), regionalFile());
    notice = client->waitForWindow(kNoticeTitle);
    QVERIFY2(!notice.isEmpty(), "the notice did not appear");
    main = client->waitForWindow(kTitle);
    QVERIFY2(!main.isEmpty(), "the main window is not on the desktop");
    QVERIFY2(client->keepsRunning(), "the client ended while the notice was open");
  }

private slots:
  void initTestCase() {
    KG_REQUIRE_DISPLAY(!display().isEmpty());
    bool ok = false;
    xdo({QStringLiteral("version")}, &ok);
    QVERIFY2(ok, "xdotool does not run on the virtual desktop");
  }

  void init() {
    m_store = TestStore::sqlite();
    m_store->setClock(QDateTime(QDate(2022, 6, 20), QTime(10, 15, 30)));
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
  }

  void cleanup() {
    m_store.reset();
    m_dir.reset();
  }

  // Each refusal of the gate: the guardian reads the message, presses OK,
  // and only then the program ends. Differing formats end it without one.
  void gateRefusals_data() {
    QTest::addColumn<QString>("refusal");
    QTest::addColumn<bool>("message");
    QTest::newRow("formats rewritten") << "formats" << false;
    QTest::newRow("regional key not writable") << "key" << true;
    QTest::newRow("version") << "version" << true;
    QTest::newRow("filing closed") << "closed" << true;
    QTest::newRow("store unreachable") << "unreachable" << true;
  }
  void gateRefusals() {
    QFETCH(QString, refusal);
    QFETCH(bool, message);
    QString regional = regionalFile();
    StoreLocation store = m_store->location();
    writeRegional(kClientFormats);
    if (refusal == QLatin1String("formats"))
      writeRegional(QStringLiteral("sDate=/\nsShortDate=yyyy/M/d\nsTimeFormat=HH:mm:ss\n"));
    else if (refusal == QLatin1String("key"))
      regional = m_dir->path(); // a folder: the key does not open for writing
    else if (refusal == QLatin1String("version"))
      m_store->setVersion(QStringLiteral("202206180"));
    else if (refusal == QLatin1String("closed"))
      m_store->setFilingOpen(false);
    else
      store = m_store->unreachable();

    Client client(store, regional);
    if (message) {
      const QString main = client.waitForWindow(kTitle);
      QVERIFY2(!main.isEmpty(), "the main window did not appear");
      const QString box = client.waitForWindow(kTitle, {main});
      QVERIFY2(!box.isEmpty(), "no message box appeared");
      QVERIFY2(client.keepsRunning(), "the client ended before the message was answered");
      QVERIFY(client.windows(kNoticeTitle).isEmpty());
      client.pressReturnIn(box);
    }
    QVERIFY2(client.endsWithZero(), "the client did not end with exit status 0");
    if (refusal == QLatin1String("formats"))
      QCOMPARE(readRegional().split(QLatin1Char('\n')).filter(QStringLiteral("=")),
               (QStringList{"sDate=-", "sShortDate=yyyy-MM-dd", "sTimeFormat=HH:mm:ss", "sTime=:", "sShortTime=HH:mm",
                            "iTime=1", "iTimePrefix=0", "iTLZero=0", "sLongDate=yyyy'年'M'月'd'日'"}));
  }

  // 不接受 on the notice ends the program. (A close of the main window while
  // the notice is open belongs to the desktop suite of the window manager's
  // ways out.)
  void declineEnds() {
    std::unique_ptr<Client> client;
    QString main, notice;
    startToNotice(client, main, notice);
    if (QTest::currentTestFailed())
      return;
    client->click(notice, kDecline);
    QVERIFY2(client->endsWithZero(), "不接受 did not end the client with exit status 0");
  }

  // After the notice is accepted the program runs while the guardian works
  // (a lookup with its message; an application form opened), and ends on 退出
  // or on a close of the main window through the window manager (Alt+F4,
  // like the caption bar's close), also while the form is still open.
  void workingEnds_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("formOpen");
    QTest::newRow("退出") << "exit" << false;
    QTest::newRow("main window closed") << "close" << false;
    QTest::newRow("退出 with the form open") << "exit" << true;
    QTest::newRow("main window closed with the form open") << "close" << true;
  }
  void workingEnds() {
    QFETCH(QString, how);
    QFETCH(bool, formOpen);
    std::unique_ptr<Client> client;
    QString main, notice;
    startToNotice(client, main, notice);
    if (QTest::currentTestFailed())
      return;
    client->click(notice, kAccept);
    QVERIFY(QTest::qWaitFor([&] { return client->windows(kNoticeTitle).isEmpty() || !client->running(); }, 10000));
    QVERIFY2(client->keepsRunning(), "the client ended when the notice was accepted");

    // A lookup of a short number: its message, answered, and on.
    client->click(main, kBox);
    xdo({QStringLiteral("type"), QStringLiteral("1234")});
    client->click(main, kLookup);
    const QString box = client->waitForWindow(kTitle, {main});
    QVERIFY2(!box.isEmpty(), "the lookup's message did not appear");
    client->pressReturnIn(box);
    QVERIFY(QTest::qWaitFor([&] { return client->windows(kTitle).size() == 1 || !client->running(); }, 10000));
    QVERIFY2(client->keepsRunning(), "the client ended while the guardian worked");

    if (formOpen) {
      // A new application: the form opens beside the main window.
      client->click(main, kBox);
      xdo({QStringLiteral("key"), QStringLiteral("ctrl+a"), QStringLiteral("BackSpace")});
      xdo({QStringLiteral("type"), QStringLiteral("110101201903050021")});
      client->click(main, kStart);
      QVERIFY2(!client->waitForWindow(kFormTitle).isEmpty(), "the application form did not open");
      QVERIFY2(client->keepsRunning(), "the client ended with the form open");
    }

    if (how == QLatin1String("exit")) {
      client->click(main, kExit);
    } else {
      xdo({QStringLiteral("windowactivate"), QStringLiteral("--sync"), main});
      xdo({QStringLiteral("key"), QStringLiteral("alt+F4")});
    }
    QVERIFY2(client->endsWithZero(), "the client did not end with exit status 0");
  }
};

int main(int argc, char *argv[]) {
  // The suite itself needs no window: the client it starts does.
  QCoreApplication app(argc, argv);
  EndingTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "tst_x_ending.moc"
