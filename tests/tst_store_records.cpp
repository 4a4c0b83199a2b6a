// The district's side of the filing days, through kgadmin as the
// administrator runs it: how full the kindergartens are, when each
// application was recorded, exports read back by an independent reader, the
// printout, corrections and withdrawals on the record, copies, and the
// refusal of bad arguments.

#include "fixture/kgadmin.h"
#include "fixture/required.h"
#include "fixture/testmain.h"
#include "fixture/teststore.h"

#include "store/driver.h"
#include "store/records.h"
#include "store/schema.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

namespace {

const QString kNumber = QStringLiteral("110101201905011234");

QStringList exportedColumns() { return schema::applicationColumns() + QStringList{QStringLiteral("记录时间")}; }

// The stored applications as text, in the order of recording, as an
// export must show them (the store's own connection, no kgadmin).
QList<QStringList> storedRows(TestStore &store, const QString &kindergarten = {}) {
  const QString where = kindergarten.isEmpty() ? QString()
                                               : QStringLiteral(" where 申请幼儿园名称 = '%1'")
                                                     .arg(QString(kindergarten).replace(u'\'', QStringLiteral("''")));
  const QString order = drivers::forDialect(store.connection().dialect()).nullsFirst();
  Result stored;
  store.run(QStringLiteral("select %1 from lz_yjxxk%2 order by 记录时间%3, 填报日期, 身份证号")
                .arg(exportedColumns().join(QLatin1Char(',')), where, order),
            {}, &stored);
  QList<QStringList> rows;
  for (const ResultRow &values : stored.rows) {
    QStringList row;
    const int columns = int(stored.columns.size());
    for (int i = 0; i < columns; ++i) {
      const QVariant value = values.value(i);
      if (value.isNull())
        row << QString();
      else if (value.typeId() == QMetaType::QDateTime)
        row << value.toDateTime().toString(i == columns - 1 ? QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")
                                                            : QStringLiteral("yyyy-MM-dd HH:mm:ss"));
      else
        row << value.toString().replace(QLatin1Char('T'), QLatin1Char(' '));
    }
    rows << row;
  }
  return rows;
}

// The export read back by Python's csv module or openpyxl.
QJsonObject readExport(const QString &file) {
  QProcess reader;
  // Debian's Python, which has openpyxl (python3-openpyxl).
  reader.start(QStringLiteral("/usr/bin/python3"), {QFINDTESTDATA("fixture/read_export.py"), file});
  if (!reader.waitForFinished(60000) || reader.exitCode() != 0)
    qFatal("read_export.py: %s", reader.readAllStandardError().constData());
  return QJsonDocument::fromJson(reader.readAllStandardOutput()).object();
}

QList<QStringList> sheetRows(const QJsonObject &sheets, const QString &name) {
  QList<QStringList> rows;
  for (const QJsonValue &row : sheets.value(name).toArray()) {
    QStringList cells;
    for (const QJsonValue &cell : row.toArray())
      cells << cell.toString();
    rows << cells;
  }
  return rows;
}

// One line of `kgadmin fill` for a kindergarten, split at its blanks.
QStringList fillLine(const QString &output, const QString &kindergarten) {
  for (const QString &line : output.split(QLatin1Char('\n'))) {
    if (line.startsWith(kindergarten + QLatin1Char(' ')))
      return line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
  }
  return {};
}

int auditRows(TestStore &store) { return store.count(QStringLiteral("select * from lz_xgjl")); }

void addBackends() {
  QTest::addColumn<QString>("backend");
  QTest::newRow("sqlite") << QStringLiteral("sqlite");
  QTest::newRow("pg") << QStringLiteral("pg");
}

std::unique_ptr<TestStore> store(const QString &backend) {
  auto db = TestStore::create(backend);
  if (!db->available())
    return nullptr;
  return db;
}

} // namespace

class StoreRecordsTest : public QObject {
  Q_OBJECT
private slots:
  void initTestCase();
  void fill_data();
  void fill();
  void recordedByTheStoreInFilingOrder_data() { addBackends(); }
  void recordedByTheStoreInFilingOrder();
  void upgradeKeepsEveryRow_data() { addBackends(); }
  void upgradeKeepsEveryRow();
  void exportReadBack_data();
  void exportReadBack();
  void exportOddKindergartenNames();
  void printout_data() { addBackends(); }
  void printout();
  void correctionsOnRecord_data() { addBackends(); }
  void correctionsOnRecord();
  void administeredThroughOdbc();
  void backupRestored_data() { addBackends(); }
  void backupRestored();
  void forcedInitLeavesACopy();
  void destructiveCommandsKeepTheLiveStore_data();
  void destructiveCommandsKeepTheLiveStore();
  void correctionThatChangesNothing_data() { addBackends(); }
  void correctionThatChangesNothing();
  void exportReplacesOnlyWhenTold();
  void csvWithoutFormulas();
  void badArguments_data();
  void badArguments();

private:
  // The user's data folder of every kgadmin run here, which holds the
  // folder of the copies written before a store's contents are replaced.
  QTemporaryDir m_data;
  QStringList copies() const;
};

void StoreRecordsTest::initTestCase() {
  QVERIFY(m_data.isValid());
  qputenv("XDG_DATA_HOME", m_data.path().toUtf8());
}

QStringList StoreRecordsTest::copies() const {
  QStringList files;
  for (const QString &name : QDir(m_data.filePath(QStringLiteral("kgfiling/copies"))).entryList(QDir::Files))
    files << m_data.filePath(QStringLiteral("kgfiling/copies/") + name);
  return files;
}

#define STORE_OR_SKIP(db, backend)                                                                                     \
  auto db = store(backend);                                                                                            \
  KG_REQUIRE_PG(db)

void StoreRecordsTest::fill_data() {
  QTest::addColumn<QString>("backend");
  QTest::addColumn<int>("stored");
  QTest::addColumn<QString>("left");
  QTest::addColumn<QString>("full");
  for (const char *backend : {"sqlite", "pg"}) {
    QTest::addRow("%s empty", backend) << backend << 0 << "43"
                                       << "no";
    QTest::addRow("%s partly full", backend) << backend << 17 << "26"
                                             << "no";
    QTest::addRow("%s full", backend) << backend << 43 << "0"
                                      << "yes";
  }
}

void StoreRecordsTest::fill() {
  QFETCH(QString, backend);
  QFETCH(int, stored);
  QFETCH(QString, left);
  QFETCH(QString, full);
  STORE_OR_SKIP(db, backend);
  db->fillKindergarten(QStringLiteral("西岭幼儿园回龙园区"), stored);
  const AdminOutcome fill = kgadmin({QStringLiteral("fill"), db->location().setting()});
  QCOMPARE(fill.code, 0);
  // All twelve, in the order of the quota table, whether they hold rows or not.
  int listed = 0;
  for (const char *name :
       {"实验幼儿园和平园区", "实验幼儿园解放东路园区", "实验幼儿园万福园区", "实验幼儿园物流园区",
        "实验幼儿园东城园区", "西岭幼儿园本部", "西岭幼儿园松柏园区", "西岭幼儿园福安园区", "西岭幼儿园颂雅园区",
        "西岭幼儿园回龙园区", "明湖幼儿园天悦园区", "明湖幼儿园西岭雅苑园区"}) {
    QVERIFY2(!fillLine(fill.out, QString::fromUtf8(name)).isEmpty(), name);
    QVERIFY(fill.out.indexOf(QString::fromUtf8(name)) > listed);
    listed = int(fill.out.indexOf(QString::fromUtf8(name)));
  }
  const QStringList line = fillLine(fill.out, QStringLiteral("西岭幼儿园回龙园区"));
  QCOMPARE(line.mid(1, 4), (QStringList{QStringLiteral("43"), QString::number(stored), left, full}));
  if (stored == 0) {
    QCOMPARE(line.value(5), QStringLiteral("-"));
  } else {
    // The time the last place was taken is that of the newest row.
    const QString newest = storedRows(*db).last().last();
    QCOMPARE(line.mid(5).join(QLatin1Char(' ')), newest);
  }
  QCOMPARE(fillLine(fill.out, QStringLiteral("西岭幼儿园本部")).mid(1, 4),
           (QStringList{QStringLiteral("205"), QStringLiteral("0"), QStringLiteral("205"), QStringLiteral("no")}));
  QVERIFY2(fill.out.contains(QStringLiteral("%1 of 12 full").arg(stored == 43 ? 1 : 0)), qPrintable(fill.out));

  // --watch prints again every second until it is interrupted.
  QProcess watch;
  watch.start(QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/kgadmin"),
              {QStringLiteral("fill"), db->location().setting(), QStringLiteral("--watch")});
  QVERIFY(watch.waitForStarted());
  QTest::qWait(2600);
  watch.terminate();
  QVERIFY(watch.waitForFinished(5000));
  QVERIFY2(QString::fromUtf8(watch.readAllStandardOutput()).count(QStringLiteral("all twelve")) >= 2,
           "two refreshes in 2.6 s");
}

void StoreRecordsTest::recordedByTheStoreInFilingOrder() {
  QFETCH(QString, backend);
  STORE_OR_SKIP(db, backend);
  if (backend == QLatin1String("sqlite"))
    db->setClock(QDateTime(QDate(2022, 6, 20), QTime(9, 0)));
  // Four clients insert at once, each its rows one after the other, on
  // connections of their own; none of them sends a time.
  constexpr int kClients = 4;
  constexpr int kRows = 12;
  QList<QThread *> clients;
  for (int c = 0; c < kClients; ++c) {
    clients << QThread::create([c, location = db->location()] {
      const std::unique_ptr<StoreBackend> connection = StoreBackend::create(location, 30);
      try {
        for (int r = 0; r < kRows; ++r)
          connection->run(QStringLiteral("insert into lz_yjxxk (身份证号, 申请幼儿园名称) values (?, ?)"),
                          {QStringLiteral("1101012019050%1%2").arg(c).arg(r, 4, 10, QLatin1Char('0')),
                           QStringLiteral("西岭幼儿园本部")});
      } catch (const StoreError &) {
        qFatal("insert failed");
      }
    });
    clients.last()->start();
  }
  for (QThread *client : clients) {
    QVERIFY(client->wait(60000));
    delete client;
  }
  // Every row carries a time on the store's clock, to the millisecond, and
  // each client's rows are recorded in the order it filed them.
  const QList<QStringList> rows = storedRows(*db);
  QCOMPARE(rows.size(), kClients * kRows);
  static const QRegularExpression stamp(QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}$"));
  QMap<QString, QString> lastOfClient;
  for (const QStringList &row : rows) {
    const QString recorded = row.last();
    QVERIFY2(stamp.match(recorded).hasMatch(), qPrintable(recorded));
    if (backend == QLatin1String("sqlite"))
      QVERIFY2(recorded.startsWith(QStringLiteral("2022-06-20 09:0")), qPrintable(recorded)); // the settable clock
    const QString number = row.at(2);
    const QString client = number.mid(13, 1);
    QVERIFY2(lastOfClient.value(client) <= recorded, qPrintable(number));
    QVERIFY2(lastOfClient.value(client + QLatin1Char('#')) < number, "client order = recording order");
    lastOfClient[client] = recorded;
    lastOfClient[client + QLatin1Char('#')] = number;
  }
  // The client's own statements still see their twenty columns only.
  QCOMPARE(db->count(
               QStringLiteral("select 姓名,性别,身份证号,申请幼儿园名称,部别,民族,出生日期,区县,镇乡或街道,村或社区,组,"
                              "户主姓名,户主与儿童关系,户口簿详细地址,入户日期,监护人一姓名,监护人一电话,"
                              "监护人二姓名,监护人二电话,填报日期 from lz_yjxxk")),
           kClients * kRows);
}

void StoreRecordsTest::upgradeKeepsEveryRow() {
  QFETCH(QString, backend);
  STORE_OR_SKIP(db, backend);
  // A store as it was made before the recording time: the three tables only.
  StoreBackend &connection = db->connection();
  const schema::Dialect dialect = connection.dialect();
  db->exec(QStringLiteral("drop table lz_yjxxk"));
  for (const QString &statement : schema::dropRecordStatements(dialect))
    db->exec(statement);
  db->exec(schema::createStatements(dialect).at(1)); // lz_yjxxk as it was
  QVERIFY(!schema::hasRecords(connection));
  // ... and before the store kept the capacities: its append took the
  // capacity from its caller.
  db->exec(QStringLiteral("drop table lz_yeyme"));
  if (dialect == schema::Dialect::PostgreSQL) {
    db->exec(QStringLiteral("drop function kg_append"));
    db->exec(QStringLiteral("create function kg_append(p_capacity integer, p_unique boolean) returns integer "
                            "language sql as $$ select 0 $$"));
  }
  QVERIFY(!schema::hasQuotas(connection));
  db->insertApplication({{QStringLiteral("姓名"), QStringLiteral("张三")}});
  db->insertApplication({{QStringLiteral("姓名"), QStringLiteral("李四")}});
  QVERIFY(kgadmin({QStringLiteral("export"), db->location().setting(), QStringLiteral("x.csv")})
              .err.contains(QStringLiteral("kgadmin upgrade")));

  const AdminOutcome upgrade = kgadmin({QStringLiteral("upgrade"), db->location().setting()});
  QVERIFY2(upgrade.code == 0, qPrintable(upgrade.err));
  QVERIFY2(upgrade.out.contains(QStringLiteral("2 application(s)")), qPrintable(upgrade.out));
  QCOMPARE(db->count(QStringLiteral("select * from lz_yjxxk where 记录时间 is null")), 2); // time unknown, row kept
  QCOMPARE(db->count(QStringLiteral("select * from lz_yjxxk where 姓名 in ('张三', '李四')")), 2);
  db->insertApplication({{QStringLiteral("姓名"), QStringLiteral("王五")}});
  QCOMPARE(db->count(QStringLiteral("select * from lz_yjxxk where 记录时间 is not null and 姓名 = '王五'")), 1);
  db->exec(QStringLiteral("update lz_yjxxk set 组 = '9组' where 姓名 = '张三'"));
  QCOMPARE(auditRows(*db), 1); // rows of before the upgrade are on the record too
  // The capacities of the client's quota table, and (on a server) one append
  // that counts against them.
  QVERIFY2(upgrade.out.contains(QStringLiteral("added lz_yeyme")), qPrintable(upgrade.out));
  QCOMPARE(db->count(QStringLiteral("select * from lz_yeyme")), 12);
  QCOMPARE(db->value(QStringLiteral("select 名额 from lz_yeyme where 申请幼儿园名称 = '西岭幼儿园回龙园区'")).toInt(),
           43);
  if (dialect == schema::Dialect::PostgreSQL) {
    QCOMPARE(db->count(QStringLiteral("select * from pg_proc where proname = 'kg_append'")), 1);
    QCOMPARE(db->value(QStringLiteral("select pronargs from pg_proc where proname = 'kg_append'")).toInt(), 20);
  }

  const AdminOutcome again = kgadmin({QStringLiteral("upgrade"), db->location().setting()});
  QCOMPARE(again.code, 0);
  QVERIFY2(again.out.contains(QStringLiteral("already has the recording time")), qPrintable(again.out));
  QVERIFY2(again.out.contains(QStringLiteral("lz_yeyme now holds the capacities")), qPrintable(again.out));
}

void StoreRecordsTest::exportReadBack_data() {
  QTest::addColumn<QString>("backend");
  QTest::addColumn<QString>("file");
  QTest::addColumn<QString>("kindergarten");
  for (const char *backend : {"sqlite", "pg"}) {
    QTest::addRow("%s csv", backend) << backend << "all.csv"
                                     << "";
    QTest::addRow("%s xlsx", backend) << backend << "all.xlsx"
                                      << "";
    QTest::addRow("%s csv one kindergarten", backend) << backend << "one.csv"
                                                      << "实验幼儿园物流园区";
    QTest::addRow("%s xlsx one kindergarten", backend) << backend << "one.xlsx"
                                                       << "实验幼儿园物流园区";
  }
}

// Kindergartens that no quota row names, as a statement by hand may store
// them: each gets a sheet whose name a spreadsheet takes (no []:*?/\, at
// most 31 characters, no apostrophe at either end even after the cut,
// unique regardless of case), with its full name and
// its rows kept.
void StoreRecordsTest::exportOddKindergartenNames() {
  auto db = TestStore::sqlite();
  const QStringList odd{QStringLiteral("分园[一]:*?/\\"),
                        QStringLiteral("分园[一]:*?/\\X"),
                        QStringLiteral("'ab'"),
                        QStringLiteral("AB"),
                        QStringLiteral("ab"),
                        QString(40, QChar(u'园')),
                        QString(30, QChar(u'园')) + QStringLiteral("'x"),
                        QStringLiteral("'''")};
  for (int i = 0; i < odd.size(); ++i)
    db->insertApplication(
        {{QStringLiteral("身份证号"), QStringLiteral("11010120190501%1").arg(i, 4, 10, QLatin1Char('0'))},
         {QStringLiteral("申请幼儿园名称"), odd.at(i)}});
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("odd.xlsx"));
  const AdminOutcome exported = kgadmin({QStringLiteral("export"), db->location().setting(), path});
  QVERIFY2(exported.code == 0, qPrintable(exported.err));
  const QJsonObject sheets = readExport(path);
  const QStringList expectedSheets{QStringLiteral("分园_一______"),
                                   QStringLiteral("分园_一______X"),
                                   QStringLiteral("ab"),
                                   QStringLiteral("AB (2)"),
                                   QStringLiteral("ab (3)"),
                                   QString(31, QChar(u'园')),
                                   QString(30, QChar(u'园')),
                                   QStringLiteral("_")};
  for (int i = 0; i < odd.size(); ++i) {
    QVERIFY2(sheets.contains(expectedSheets.at(i)), qPrintable(sheets.keys().join(QLatin1Char('|'))));
    const QList<QStringList> rows = sheetRows(sheets, expectedSheets.at(i));
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows.at(1), storedRows(*db, odd.at(i)).value(0));
  }
  bool summarised = false;
  for (const QStringList &row : sheetRows(sheets, QStringLiteral("汇总")))
    summarised = summarised || row.value(0) == odd.at(5);
  QVERIFY2(summarised, "the summary keeps the full name");
}

void StoreRecordsTest::exportReadBack() {
  QFETCH(QString, backend);
  QFETCH(QString, file);
  QFETCH(QString, kindergarten);
  STORE_OR_SKIP(db, backend);
  // Texts that a careless export damages: an identity number with leading
  // zeros and one ending in X, leading blanks, quotes, commas, Chinese text.
  db->insertApplication({{QStringLiteral("身份证号"), QStringLiteral("000000201905011234")},
                         {QStringLiteral("姓名"), QStringLiteral("欧阳娜娜")},
                         {QStringLiteral("申请幼儿园名称"), QStringLiteral("实验幼儿园物流园区")},
                         {QStringLiteral("户口簿详细地址"), QStringLiteral("  澄岭区\"和平\"路1号,3栋")},
                         {QStringLiteral("监护人一电话"), QStringLiteral("01388888888")}});
  db->insertApplication({{QStringLiteral("身份证号"), QStringLiteral("11010120190501123X")},
                         {QStringLiteral("申请幼儿园名称"), QStringLiteral("西岭幼儿园本部")},
                         {QStringLiteral("监护人二姓名"), QString()}});
  db->insertApplication({{QStringLiteral("申请幼儿园名称"), QStringLiteral("实验幼儿园物流园区")}});
  QTemporaryDir dir;
  const QString path = dir.filePath(file);
  const AdminOutcome exported =
      kgadmin(QStringList{QStringLiteral("export"), db->location().setting(), path} +
              (kindergarten.isEmpty() ? QStringList() : QStringList{QStringLiteral("--kindergarten"), kindergarten}));
  QVERIFY2(exported.code == 0, qPrintable(exported.err));
  const QJsonObject sheets = readExport(path);
  const QList<QStringList> expected = storedRows(*db, kindergarten);
  QCOMPARE(expected.size(), kindergarten.isEmpty() ? 3 : 2);
  if (file.endsWith(QLatin1String(".csv"))) {
    QList<QStringList> rows = sheetRows(sheets, QStringLiteral("csv"));
    QCOMPARE(rows.takeFirst(), exportedColumns());
    QCOMPARE(rows, expected);
    QVERIFY(QFile(path).open(QIODevice::ReadOnly));
    QFile bom(path);
    QVERIFY(bom.open(QIODevice::ReadOnly));
    QCOMPARE(bom.read(3), QByteArray("\xEF\xBB\xBF"));
    return;
  }
  // One sheet per kindergarten after the summary; the rows of each, as text.
  const QStringList names = sheets.keys();
  QVERIFY(names.contains(QStringLiteral("汇总")));
  QCOMPARE(names.size(), kindergarten.isEmpty() ? 13 : 2);
  for (const QString &name : names) {
    if (name == QStringLiteral("汇总"))
      continue;
    QList<QStringList> rows = sheetRows(sheets, name);
    QCOMPARE(rows.takeFirst(), exportedColumns());
    QCOMPARE(rows, storedRows(*db, name));
  }
  const QList<QStringList> summary = sheetRows(sheets, QStringLiteral("汇总"));
  bool found = false;
  for (const QStringList &row : summary) {
    if (row.value(0) == QStringLiteral("实验幼儿园物流园区")) {
      QCOMPARE(row.mid(1, 3), (QStringList{QStringLiteral("44"), QStringLiteral("2"), QStringLiteral("42")}));
      found = true;
    }
  }
  QVERIFY(found);
}

void StoreRecordsTest::printout() {
  QFETCH(QString, backend);
  STORE_OR_SKIP(db, backend);
  QVariantMap application = TestStore::sampleApplication(kNumber);
  application.insert(QStringLiteral("姓名"), QStringLiteral("欧阳娜娜"));
  application.insert(QStringLiteral("申请幼儿园名称"), QStringLiteral("明湖幼儿园天悦园区"));
  application.insert(QStringLiteral("户口簿详细地址"), QStringLiteral("澄岭区和平路18号"));
  application.insert(QStringLiteral("监护人一电话"), QStringLiteral("13912345678"));
  db->insertApplication(application);
  QTemporaryDir dir;
  const QString pdf = dir.filePath(QStringLiteral("application.pdf"));
  const AdminOutcome printed = kgadmin({QStringLiteral("print"), db->location().setting(), kNumber, pdf});
  QVERIFY2(printed.code == 0, qPrintable(printed.err));

  QProcess text;
  text.start(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), pdf, QStringLiteral("-")});
  QVERIFY(text.waitForFinished(30000));
  // Compared without blanks and line breaks: the notice wraps in its box.
  QString page = QString::fromUtf8(text.readAllStandardOutput());
  page.remove(QRegularExpression(QStringLiteral("\\s")));
  for (const QString &expected :
       {QStringLiteral("澄岭区2022年城区公办幼儿园小班招生申请表"), QStringLiteral("基"),
        QStringLiteral("户口簿详细地址"), QStringLiteral("欧阳娜娜"), kNumber, QStringLiteral("明湖幼儿园天悦园区"),
        QStringLiteral("小班"), QStringLiteral("澄岭区和平路18号"), QStringLiteral("13912345678"),
        QStringLiteral("监护人一电话"), QStringLiteral("带上相关证件到[明湖幼儿园天悦园区]验审要件."),
        QStringLiteral("记录时间："), QStringLiteral("填报日期：2022-06-20")})
    QVERIFY2(page.contains(expected), qPrintable(expected + QStringLiteral(" in\n") + page));
  QProcess fonts;
  fonts.start(QStringLiteral("pdffonts"), {pdf});
  QVERIFY(fonts.waitForFinished(30000));
  const QStringList lines = QString::fromUtf8(fonts.readAllStandardOutput()).split(QLatin1Char('\n'));
  QVERIFY2(lines.size() > 2 && lines.at(2).contains(QStringLiteral("WenQuanYi")) &&
               lines.at(2).contains(QRegularExpression(QStringLiteral("\\byes\\b"))),
           "the Chinese font is embedded");
}

void StoreRecordsTest::correctionsOnRecord() {
  QFETCH(QString, backend);
  STORE_OR_SKIP(db, backend);
  db->insertApplication(TestStore::sampleApplication(kNumber));
  const QString before = db->value(QStringLiteral("select 姓名 from lz_yjxxk")).toString();
  const AdminOutcome corrected =
      kgadmin({QStringLiteral("correct"), db->location().setting(), kNumber, QStringLiteral("姓名"),
               QStringLiteral("欧阳娜娜"), QStringLiteral("--reason"), QStringLiteral("户口簿上的姓名")});
  QVERIFY2(corrected.code == 0, qPrintable(corrected.err));
  QCOMPARE(db->value(QStringLiteral("select 姓名 from lz_yjxxk")).toString(), QStringLiteral("欧阳娜娜"));
  QCOMPARE(auditRows(*db), 1);
  Result audit;
  db->run(QStringLiteral("select 操作, 身份证号, 列名, 原值, 新值, 原因, 操作人 from lz_xgjl order by 序号"), {},
          &audit);
  QVERIFY(!audit.rows.isEmpty());
  ResultRow row = audit.rows.first();
  QCOMPARE(row.value(0).toString(), QStringLiteral("更正"));
  QCOMPARE(row.value(1).toString(), kNumber);
  QCOMPARE(row.value(2).toString(), QStringLiteral("姓名"));
  QCOMPARE(QJsonDocument::fromJson(row.value(3).toString().toUtf8()).object().value(QStringLiteral("姓名")).toString(),
           before);
  QCOMPARE(QJsonDocument::fromJson(row.value(4).toString().toUtf8()).object().value(QStringLiteral("姓名")).toString(),
           QStringLiteral("欧阳娜娜"));
  QCOMPARE(row.value(5).toString(), QStringLiteral("户口簿上的姓名"));
  QVERIFY(!row.value(6).toString().isEmpty());

  // A change made straight in SQL is recorded too; one that changes nothing is not.
  db->exec(QStringLiteral("update lz_yjxxk set 组 = '7组', 监护人一电话 = '13900000000'"));
  db->exec(QStringLiteral("update lz_yjxxk set 组 = 组"));
  QCOMPARE(auditRows(*db), 2);
  db->run(QStringLiteral("select 操作, 列名, 新值, 原因 from lz_xgjl order by 序号"), {}, &audit);
  QVERIFY(!audit.rows.isEmpty());
  row = audit.rows.last();
  QCOMPARE(row.value(0).toString(), QStringLiteral("修改"));
  QStringList changed = row.value(1).toString().split(QLatin1Char(','));
  changed.sort();
  QCOMPARE(changed, (QStringList{QStringLiteral("监护人一电话"), QStringLiteral("组")}));
  QCOMPARE(QJsonDocument::fromJson(row.value(2).toString().toUtf8()).object().value(QStringLiteral("组")).toString(),
           QStringLiteral("7组"));
  QVERIFY(row.value(3).isNull());

  // A correction into a full kindergarten is refused and changes nothing.
  db->fillKindergarten(QStringLiteral("西岭幼儿园回龙园区"), 43);
  const AdminOutcome full =
      kgadmin({QStringLiteral("correct"), db->location().setting(), kNumber, QStringLiteral("申请幼儿园名称"),
               QStringLiteral("西岭幼儿园回龙园区"), QStringLiteral("--reason"), QStringLiteral("换园")});
  QCOMPARE(full.code, 1);
  QVERIFY2(full.err.contains(QStringLiteral("is full")), qPrintable(full.err));
  QCOMPARE(auditRows(*db), 2);

  // Withdrawing frees the place and keeps the whole row on the record.
  const AdminOutcome withdrawn = kgadmin({QStringLiteral("withdraw"), db->location().setting(), kNumber,
                                          QStringLiteral("--reason"), QStringLiteral("家长书面撤回")});
  QVERIFY2(withdrawn.code == 0, qPrintable(withdrawn.err));
  QCOMPARE(db->count(QStringLiteral("select * from lz_yjxxk where 身份证号 = '%1'").arg(kNumber)), 0);
  QCOMPARE(auditRows(*db), 3);
  db->run(QStringLiteral("select 操作, 列名, 原值, 新值, 原因 from lz_xgjl order by 序号"), {}, &audit);
  QVERIFY(!audit.rows.isEmpty());
  row = audit.rows.last();
  QCOMPARE(row.value(0).toString(), QStringLiteral("撤回"));
  QCOMPARE(row.value(1).toString(), QStringLiteral("*"));
  const QJsonObject removed = QJsonDocument::fromJson(row.value(2).toString().toUtf8()).object();
  QCOMPARE(removed.value(QStringLiteral("姓名")).toString(), QStringLiteral("欧阳娜娜"));
  QCOMPARE(removed.value(QStringLiteral("组")).toString(), QStringLiteral("7组"));
  QVERIFY(row.value(3).isNull());
  QCOMPARE(row.value(4).toString(), QStringLiteral("家长书面撤回"));

  // A delete straight in SQL is recorded as such.
  db->exec(QStringLiteral("delete from lz_yjxxk where 申请幼儿园名称 = '西岭幼儿园回龙园区'"));
  QCOMPARE(auditRows(*db), 3 + 43);
  QCOMPARE(db->count(QStringLiteral("select * from lz_xgjl where 操作 = '删除' and 原因 is null")), 43);
  const AdminOutcome history = kgadmin({QStringLiteral("history"), db->location().setting(), kNumber});
  QCOMPARE(history.code, 0);
  QVERIFY2(history.out.contains(QStringLiteral("3 change(s) on record")), qPrintable(history.out));
}

// The commands reach a store through ODBC too: the connection tells which
// server's statements to send (here PostgreSQL's, through its ODBC driver),
// and a correction runs in one transaction with its audit context.
void StoreRecordsTest::administeredThroughOdbc() {
  STORE_OR_SKIP(db, QStringLiteral("pg"));
  db->insertApplication(TestStore::sampleApplication(kNumber));
  const QString odbc = db->odbcLocation().setting();
  const AdminOutcome status = kgadmin({QStringLiteral("status"), odbc});
  QVERIFY2(status.code == 0, qPrintable(status.err));
  QVERIFY2(status.out.contains(QStringLiteral("filing:   open\n")), qPrintable(status.out));
  QVERIFY2(status.out.contains(QStringLiteral("  实验幼儿园和平园区  1\n")), qPrintable(status.out));
  QVERIFY2(!status.out.contains(QStringLiteral("(offset")), qPrintable(status.out)); // the server's own clock
  const AdminOutcome clock = kgadmin({QStringLiteral("set-clock"), odbc, QStringLiteral("2022-06-20 10:15:30")});
  QCOMPARE(clock.code, 1);
  QVERIFY2(clock.err.contains(QStringLiteral("the server answers getdate() from its own clock")),
           qPrintable(clock.err));

  const AdminOutcome corrected =
      kgadmin({QStringLiteral("correct"), odbc, kNumber, QStringLiteral("姓名"), QStringLiteral("欧阳娜娜"),
               QStringLiteral("--reason"), QStringLiteral("户口簿上的姓名")});
  QVERIFY2(corrected.code == 0, qPrintable(corrected.err));
  QCOMPARE(db->value(QStringLiteral("select 姓名 from lz_yjxxk")).toString(), QStringLiteral("欧阳娜娜"));
  QCOMPARE(db->value(QStringLiteral("select 操作 from lz_xgjl")).toString(), QStringLiteral("更正"));
  QCOMPARE(db->value(QStringLiteral("select 原因 from lz_xgjl")).toString(), QStringLiteral("户口簿上的姓名"));
  const AdminOutcome upgraded = kgadmin({QStringLiteral("upgrade"), odbc});
  QVERIFY2(upgraded.code == 0, qPrintable(upgraded.err));
  QVERIFY2(upgraded.out.contains(QStringLiteral("already has the recording time")), qPrintable(upgraded.out));
}

void StoreRecordsTest::backupRestored() {
  QFETCH(QString, backend);
  STORE_OR_SKIP(db, backend);
  db->insertApplication({{QStringLiteral("姓名"), QStringLiteral("欧阳娜娜")}});
  db->fillKindergarten(QStringLiteral("实验幼儿园物流园区"), 20);
  db->exec(QStringLiteral("update lz_yjxxk set 组 = '2组' where 姓名 = '欧阳娜娜'"));
  QTemporaryDir dir;
  const QString copy = dir.filePath(QStringLiteral("copy"));
  const AdminOutcome backup = kgadmin({QStringLiteral("backup"), db->location().setting(), copy});
  QVERIFY2(backup.code == 0, qPrintable(backup.err));
  QVERIFY(kgadmin({QStringLiteral("backup"), db->location().setting(), copy}).err.contains(QStringLiteral("exists")));

  auto fresh = TestStore::create(backend);
  if (backend == QLatin1String("sqlite")) {
    // Into a file that does not exist yet.
    const QString file = dir.filePath(QStringLiteral("restored.db"));
    const AdminOutcome restored = kgadmin({QStringLiteral("restore"), QStringLiteral("sqlite:") + file, copy});
    QVERIFY2(restored.code == 0, qPrintable(restored.err));
    auto check = TestStore::sqlite();
    check->exec(QStringLiteral("attach database '%1' as restored").arg(file));
    QCOMPARE(check->count(QStringLiteral("select * from restored.lz_yjxxk")), 21);
    QCOMPARE(check->count(QStringLiteral("select * from restored.lz_xgjl")), 1);
  }
  // Into a store that holds tables: refused without --force, replaced with it.
  const AdminOutcome refused = kgadmin({QStringLiteral("restore"), fresh->location().setting(), copy});
  QCOMPARE(refused.code, 1);
  QVERIFY(refused.err.contains(QStringLiteral("--force")));
  const AdminOutcome forced =
      kgadmin({QStringLiteral("restore"), fresh->location().setting(), copy, QStringLiteral("--force")});
  QVERIFY2(forced.code == 0, qPrintable(forced.err));
  static const QRegularExpression said(QStringLiteral("what it held before was copied to (\\S+)"));
  const QString before = said.match(forced.out).captured(1);
  QVERIFY2(QFile::exists(before), qPrintable(forced.out));
  QFile::remove(before);
  // The same rows and the same record as the store the copy was taken from.
  QCOMPARE(storedRows(*fresh), storedRows(*db));
  QCOMPARE(auditRows(*fresh), 1);
}

void StoreRecordsTest::forcedInitLeavesACopy() {
  auto db = TestStore::sqlite();
  db->fillKindergarten(QStringLiteral("西岭幼儿园回龙园区"), 43);
  const AdminOutcome init = kgadmin({QStringLiteral("init"), db->location().setting(), QStringLiteral("--force")});
  QVERIFY2(init.code == 0, qPrintable(init.err));
  static const QRegularExpression said(QStringLiteral("copied to (\\S+)"));
  const QRegularExpressionMatch where = said.match(init.out);
  QVERIFY2(where.hasMatch(), qPrintable(init.out));
  QCOMPARE(db->count(QStringLiteral("select * from lz_yjxxk")), 0);
  db->exec(QStringLiteral("attach database '%1' as copy").arg(where.captured(1)));
  QCOMPARE(db->count(QStringLiteral("select * from copy.lz_yjxxk where 申请幼儿园名称 = '西岭幼儿园回龙园区'")), 43);
}

void StoreRecordsTest::destructiveCommandsKeepTheLiveStore_data() {
  QTest::addColumn<QString>("backend");
  QTest::addColumn<QString>("command"); // init or restore, with --force
  QTest::addColumn<QString>("file");    // restore: good, garbage, truncated, foreign
  QTest::addColumn<int>("runs");        // started at the same moment
  QTest::addColumn<QString>("folder");  // where it runs: own, unwritable
  QTest::addColumn<bool>("copiesWritable");
  QTest::addColumn<int>("code");
  QTest::addColumn<QString>("rowsAfter"); // same, none, copy
  QTest::addColumn<QString>("said");
  for (const QString &backend : {QStringLiteral("sqlite"), QStringLiteral("pg")}) {
    auto row = [&](const char *name) {
      return &(QTest::newRow(qPrintable(backend + QStringLiteral(": ") + QLatin1String(name))) << backend);
    };
    *row("restore of a garbage file") << "restore"
                                      << "garbage" << 1 << "own" << true << 2 << "same"
                                      << "nothing changed";
    *row("restore of a truncated copy") << "restore"
                                        << "truncated" << 1 << "own" << true << 2 << "same"
                                        << "nothing changed";
    *row("restore of another database's copy") << "restore"
                                               << "foreign" << 1 << "own" << true << 2 << "same"
                                               << "nothing changed";
    *row("restore twice in one second") << "restore"
                                        << "good" << 2 << "own" << true << 0 << "copy"
                                        << "what it held before was copied to";
    *row("init twice in one second") << "init"
                                     << "" << 2 << "own" << true << 0 << "none"
                                     << "created";
    *row("restore from an unwritable folder") << "restore"
                                              << "good" << 1 << "unwritable" << true << 0 << "copy"
                                              << "what it held before was copied to";
    *row("init from an unwritable folder") << "init"
                                           << "" << 1 << "unwritable" << true << 0 << "none"
                                           << "stored application(s) were copied to";
    *row("restore with no folder for its copy") << "restore"
                                                << "good" << 1 << "own" << false << 1 << "same"
                                                << "nothing changed";
    *row("init with no folder for its copy") << "init"
                                             << "" << 1 << "own" << false << 1 << "same"
                                             << "nothing changed";
  }
}

// init --force and restore --force, as a careless administrator runs them:
// the live rows are counted before and after, and every copy written first
// is kept.
void StoreRecordsTest::destructiveCommandsKeepTheLiveStore() {
  QFETCH(QString, backend);
  QFETCH(QString, command);
  QFETCH(QString, file);
  QFETCH(int, runs);
  QFETCH(QString, folder);
  QFETCH(bool, copiesWritable);
  QFETCH(int, code);
  QFETCH(QString, rowsAfter);
  QFETCH(QString, said);
  STORE_OR_SKIP(db, backend);
  QTemporaryDir dir;
  // A good copy of a store holding three applications; one cut short; one of
  // a store without the applications table; and bytes that are no copy.
  auto other = TestStore::create(backend);
  other->fillKindergarten(QStringLiteral("西岭幼儿园本部"), 3);
  const QString good = dir.filePath(QStringLiteral("good.copy"));
  QCOMPARE(kgadmin({QStringLiteral("backup"), other->location().setting(), good}).code, 0);
  QFile whole(good);
  QVERIFY(whole.open(QIODevice::ReadOnly));
  const QByteArray bytes = whole.readAll();
  QFile truncated(dir.filePath(QStringLiteral("truncated.copy")));
  QVERIFY(truncated.open(QIODevice::WriteOnly));
  truncated.write(bytes.left(bytes.size() / 2));
  truncated.close();
  QFile garbage(dir.filePath(QStringLiteral("garbage.copy")));
  QVERIFY(garbage.open(QIODevice::WriteOnly));
  for (int i = 0; i < 4096; ++i)
    garbage.putChar(char((i * 7919) % 251));
  garbage.close();
  other->exec(QStringLiteral("drop table lz_yjxxk"));
  const QString foreign = dir.filePath(QStringLiteral("foreign.copy"));
  if (backend == QLatin1String("sqlite")) {
    QVERIFY(QFile::copy(other->location().file, foreign));
  } else {
    QProcess dump;
    QProcessEnvironment password = QProcessEnvironment::systemEnvironment();
    password.insert(QStringLiteral("PGPASSWORD"), other->location().password);
    dump.setProcessEnvironment(password);
    dump.start(QStringLiteral("pg_dump"),
               {QStringLiteral("--format=custom"), QStringLiteral("--file=") + foreign,
                QStringLiteral("--host=127.0.0.1"), QStringLiteral("--port=%1").arg(other->location().port),
                QStringLiteral("--username=") + other->location().user, other->location().database});
    QVERIFY(dump.waitForFinished(60000) && dump.exitCode() == 0);
  }

  db->fillKindergarten(QStringLiteral("实验幼儿园物流园区"), 5);
  const QList<QStringList> before = storedRows(*db);
  QCOMPARE(before.size(), 5);
  const QStringList copiesBefore = copies();
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  if (!copiesWritable)
    environment.insert(QStringLiteral("XDG_DATA_HOME"), QStringLiteral("/proc/kg-no-such-folder"));
  QStringList args{command, db->location().setting()};
  if (command == QLatin1String("restore"))
    args << dir.filePath(file + QStringLiteral(".copy"));
  args << QStringLiteral("--force");
  const QList<AdminOutcome> outcomes =
      kgadminTogether(QList<QStringList>(runs, args), environment,
                      folder == QLatin1String("unwritable") ? QStringLiteral("/proc") : QString());
  for (const AdminOutcome &outcome : outcomes) {
    QVERIFY2(outcome.code == code, qPrintable(outcome.out + outcome.err));
    QVERIFY2((outcome.out + outcome.err).contains(said), qPrintable(outcome.out + outcome.err));
  }
  const QList<QStringList> after = storedRows(*db);
  if (rowsAfter == QLatin1String("same"))
    QCOMPARE(after, before);
  else
    QCOMPARE(after.size(), rowsAfter == QLatin1String("copy") ? 3 : 0);
  // Every copy written is a new file in the copies folder, and the first one
  // holds what the store held.
  const QStringList copiesAfter = copies();
  const QStringList written = QSet<QString>(copiesAfter.cbegin(), copiesAfter.cend())
                                  .subtract(QSet<QString>(copiesBefore.cbegin(), copiesBefore.cend()))
                                  .values();
  if (code != 0) {
    QVERIFY2(written.isEmpty(), qPrintable(written.join(QLatin1Char(' '))));
    return;
  }
  QVERIFY(written.size() >= 1 && written.size() <= runs);
  if (command == QLatin1String("restore"))
    QCOMPARE(written.size(), runs);
  for (const AdminOutcome &outcome : outcomes) {
    static const QRegularExpression named(QStringLiteral("copied to (\\S+)"));
    const QString copy = named.match(outcome.out).captured(1);
    QVERIFY2(copy.isEmpty() || written.contains(copy), qPrintable(outcome.out));
  }
  auto check = TestStore::create(backend);
  int holding = 0;
  for (const QString &copy : written) {
    const AdminOutcome restored =
        kgadmin({QStringLiteral("restore"), check->location().setting(), copy, QStringLiteral("--force")});
    QVERIFY2(restored.code == 0, qPrintable(restored.err));
    if (storedRows(*check) == before)
      ++holding;
  }
  QVERIFY2(holding >= 1, "no copy holds what the store held");
}

void StoreRecordsTest::correctionThatChangesNothing() {
  QFETCH(QString, backend);
  STORE_OR_SKIP(db, backend);
  db->insertApplication(TestStore::sampleApplication(kNumber));
  const QString name = db->value(QStringLiteral("select 姓名 from lz_yjxxk")).toString();
  const AdminOutcome same = kgadmin({QStringLiteral("correct"), db->location().setting(), kNumber,
                                     QStringLiteral("姓名"), name, QStringLiteral("--reason"), QStringLiteral("核对")});
  QCOMPARE(same.code, 0);
  QVERIFY2(same.out.contains(QStringLiteral("nothing changed, nothing recorded")), qPrintable(same.out));
  QVERIFY(!same.out.contains(QStringLiteral("recorded in lz_xgjl")));
  QCOMPARE(auditRows(*db), 0);
}

void StoreRecordsTest::exportReplacesOnlyWhenTold() {
  auto db = TestStore::sqlite();
  db->insertApplication(TestStore::sampleApplication(kNumber));
  QTemporaryDir dir;
  for (const QString &name : {QStringLiteral("all.csv"), QStringLiteral("all.xlsx")}) {
    const QString path = dir.filePath(name);
    QFile earlier(path);
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.write("an earlier export");
    earlier.close();
    const AdminOutcome refused = kgadmin({QStringLiteral("export"), db->location().setting(), path});
    QCOMPARE(refused.code, 2);
    QVERIFY2(refused.err.contains(QStringLiteral("exists already")), qPrintable(refused.err));
    QVERIFY(earlier.open(QIODevice::ReadOnly));
    QCOMPARE(earlier.readAll(), QByteArray("an earlier export"));
    earlier.close();
    const AdminOutcome replaced =
        kgadmin({QStringLiteral("export"), db->location().setting(), path, QStringLiteral("--replace")});
    QVERIFY2(replaced.code == 0, qPrintable(replaced.err));
    QVERIFY(earlier.open(QIODevice::ReadOnly));
    QVERIFY(earlier.readAll() != QByteArray("an earlier export"));
  }
}

// Values a spreadsheet would run as formulas, planted through the store: the
// CSV shows them as text (a leading apostrophe), or as stored with --raw;
// the spreadsheet file holds every value as text anyway.
void StoreRecordsTest::csvWithoutFormulas() {
  auto db = TestStore::sqlite();
  const QStringList planted{QStringLiteral("=HYPERLINK(\"http://x\",\"点\")"),
                            QStringLiteral("+1+1"),
                            QStringLiteral("-2+3"),
                            QStringLiteral("@SUM(1)"),
                            QStringLiteral("\t=1"),
                            QStringLiteral("\r=1")};
  int n = 0;
  for (const QString &value : planted)
    db->insertApplication(
        {{QStringLiteral("身份证号"), QStringLiteral("11010120190501%1").arg(++n, 4, 10, QLatin1Char('0'))},
         {QStringLiteral("户口簿详细地址"), value},
         {QStringLiteral("监护人二姓名"), QStringLiteral("王=小")}});
  QTemporaryDir dir;
  const QString safe = dir.filePath(QStringLiteral("safe.csv"));
  const QString raw = dir.filePath(QStringLiteral("raw.csv"));
  const QString book = dir.filePath(QStringLiteral("book.xlsx"));
  QCOMPARE(kgadmin({QStringLiteral("export"), db->location().setting(), safe}).code, 0);
  QCOMPARE(kgadmin({QStringLiteral("export"), db->location().setting(), raw, QStringLiteral("--raw")}).code, 0);
  QCOMPARE(kgadmin({QStringLiteral("export"), db->location().setting(), book}).code, 0);
  const int address = exportedColumns().indexOf(QStringLiteral("户口簿详细地址"));
  const int second = exportedColumns().indexOf(QStringLiteral("监护人二姓名"));
  QStringList safeCells;
  QStringList rawCells;
  for (const QStringList &row : sheetRows(readExport(safe), QStringLiteral("csv")).mid(1)) {
    safeCells << row.at(address);
    QCOMPARE(row.at(second), QStringLiteral("王=小")); // an = inside a value is no formula
  }
  for (const QStringList &row : sheetRows(readExport(raw), QStringLiteral("csv")).mid(1))
    rawCells << row.at(address);
  QStringList shown;
  for (const QString &value : planted)
    shown << QLatin1Char('\'') + value;
  safeCells.sort();
  shown.sort();
  QCOMPARE(safeCells, shown);
  QStringList stored = planted;
  stored.sort();
  rawCells.sort();
  QCOMPARE(rawCells, stored);
  // (The spreadsheet file's own way of holding a carriage return is its
  // reader's business: the values without one are compared.)
  QStringList inBook;
  for (const QStringList &row : sheetRows(readExport(book), QStringLiteral("实验幼儿园和平园区")).mid(1))
    inBook << row.at(address);
  for (const QString &value : planted) {
    if (!value.contains(QLatin1Char('\r')))
      QVERIFY2(inBook.contains(value), qPrintable(value));
  }
}

void StoreRecordsTest::badArguments_data() {
  QTest::addColumn<QStringList>("args");
  QTest::addColumn<int>("code");
  QTest::addColumn<QString>("message");
  const QString s = QStringLiteral("@STORE@");
  const QString n = kNumber;
  const QString r = QStringLiteral("--reason");
  QTest::newRow("clock with a sign") << QStringList{"set-clock", s, "-2022-06-20 10:00:00"} << 2
                                     << "not a date and time";
  QTest::newRow("clock past 9999-12-30") << QStringList{"set-clock", s, "9999-12-31 23:59:59"} << 2
                                         << "outside 1900-01-01 to 9999-12-30";
  QTest::newRow("clock before 1900") << QStringList{"set-clock", s, "1899-12-31 23:59:59"} << 2 << "outside 1900-01-01";
  QTest::newRow("clock with a five-digit year")
      << QStringList{"set-clock", s, "10000-01-01 00:00:00"} << 2 << "not a date and time";
  QTest::newRow("fill of a missing store")
      << QStringList{"fill", "sqlite:/nonexistent-kg/x.db"} << 1 << "does not exist";
  QTest::newRow("export to another kind of file") << QStringList{"export", s, "@DIR@/out.txt"} << 2 << ".xlsx or .csv";
  QTest::newRow("export into a missing folder")
      << QStringList{"export", s, "/nonexistent-kg/out.csv"} << 2 << "does not exist";
  QTest::newRow("export of an unknown kindergarten")
      << QStringList{"export", s, "@DIR@/out.csv", "--kindergarten", "幸福幼儿园"} << 2 << "not one of the twelve";
  QTest::newRow("print of a number not stored")
      << QStringList{"print", s, "110101201905019999", "@DIR@/a.pdf"} << 1 << "no application is stored";
  QTest::newRow("print to another kind of file") << QStringList{"print", s, n, "@DIR@/a.png"} << 2 << ".pdf";
  QTest::newRow("correct without a reason") << QStringList{"correct", s, n, "姓名", "张三"} << 2 << "--reason";
  QTest::newRow("correct of an unknown column")
      << QStringList{"correct", s, n, "年龄", "3", r, "x"} << 2 << "not a column";
  QTest::newRow("correct of the recording time")
      << QStringList{"correct", s, n, "记录时间", "2022-06-20", r, "x"} << 2 << "not a column";
  QTest::newRow("correct to a name too long")
      << QStringList{"correct", s, n, "姓名", "欧阳娜娜娜娜娜", r, "x"} << 2 << "longer than 12 bytes";
  QTest::newRow("correct to a control character")
      << QStringList{"correct", s, n, "姓名", "张\t三", r, "x"} << 2 << "control characters";
  QTest::newRow("correct to a character outside GBK")
      << QStringList{"correct", s, n, "姓名", "张𠀀", r, "x"} << 2 << "no GBK form";
  QTest::newRow("correct to a bad date") << QStringList{"correct", s, n, "出生日期", "2019-02-30", r, "x"} << 2
                                         << "yyyy-MM-dd";
  QTest::newRow("correct to a 17-byte number")
      << QStringList{"correct", s, n, "身份证号", "11010120190501123", r, "x"} << 2 << "18 bytes";
  QTest::newRow("correct of a number not stored")
      << QStringList{"correct", s, "110101201905019999", "姓名", "张三", r, "x"} << 1 << "no application is stored";
  QTest::newRow("withdraw without a reason") << QStringList{"withdraw", s, n} << 2 << "--reason";
  QTest::newRow("withdraw of a number not stored")
      << QStringList{"withdraw", s, "110101201905019999", r, "x"} << 1 << "no application is stored";
  QTest::newRow("backup over a file") << QStringList{"backup", s, "@DIR@/exists"} << 2 << "exists already";
  QTest::newRow("restore of a missing file") << QStringList{"restore", s, "@DIR@/missing"} << 2 << "is not a file";
  QTest::newRow("restore of a file that is no store")
      << QStringList{"restore", s, "@DIR@/exists"} << 2 << "is not a copy";
}

void StoreRecordsTest::badArguments() {
  QFETCH(QStringList, args);
  QFETCH(int, code);
  QFETCH(QString, message);
  auto db = TestStore::sqlite();
  db->insertApplication(TestStore::sampleApplication(kNumber));
  QTemporaryDir dir;
  QFile exists(dir.filePath(QStringLiteral("exists")));
  QVERIFY(exists.open(QIODevice::WriteOnly));
  exists.write("not a store");
  exists.close();
  for (QString &arg : args) {
    arg.replace(QStringLiteral("@STORE@"), db->location().setting());
    arg.replace(QStringLiteral("@DIR@"), dir.path());
  }
  const QVariant clock = db->value(QStringLiteral("select offset_seconds from kg_clock"));
  const QList<QStringList> before = storedRows(*db);
  const AdminOutcome outcome = kgadmin(args);
  QCOMPARE(outcome.code, code);
  QVERIFY2(outcome.err.contains(message), qPrintable(outcome.err));
  // One line says what is wrong (the usage that follows a bad argument aside).
  QVERIFY2(outcome.err.startsWith(QStringLiteral("kgadmin: ")), qPrintable(outcome.err));
  // Nothing changed: rows, record, clock, and no file left behind.
  QCOMPARE(storedRows(*db), before);
  QCOMPARE(auditRows(*db), 0);
  QCOMPARE(db->value(QStringLiteral("select offset_seconds from kg_clock")), clock);
  QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("exists")});
}

KG_TEST_MAIN(StoreRecordsTest)
#include "tst_store_records.moc"
