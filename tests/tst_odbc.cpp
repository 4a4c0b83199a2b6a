// The ODBC backend against the loopback PostgreSQL through its ODBC driver
// ("PostgreSQL Unicode"): every kind of value as the backend hands it to the
// windows (type and value), NULLs, texts longer than one read of the driver,
// and bound texts that go out and come back whole.

#include "fixture/required.h"
#include "fixture/testmain.h"
#include "fixture/teststore.h"

#include "store/queryobject.h"

#include <QDateTime>

namespace {

// A value as "type: text": the type the backend chose is part of what
// callers rely on.
QString described(const QVariant &value) {
  if (!value.isValid())
    return QStringLiteral("invalid");
  const QString type = QString::fromLatin1(value.typeName());
  switch (value.typeId()) {
  case QMetaType::QString: {
    const QString text = value.toString();
    return text.isNull() ? type + QStringLiteral(": null") : type + QStringLiteral(": [") + text + u']';
  }
  case QMetaType::QDateTime: return type + QStringLiteral(": ") + value.toDateTime().toString(Qt::ISODateWithMs);
  case QMetaType::QTime: return type + QStringLiteral(": ") + value.toTime().toString(Qt::ISODateWithMs);
  case QMetaType::QByteArray: {
    const QByteArray bytes = value.toByteArray();
    return bytes.isNull() ? type + QStringLiteral(": null")
                          : type + QStringLiteral(": ") + QString::fromLatin1(bytes.toHex());
  }
  default: return type + QStringLiteral(": ") + value.toString();
  }
}

} // namespace

class OdbcTest : public QObject {
  Q_OBJECT
private slots:
  void valuesAsReadThroughOdbc_data();
  void valuesAsReadThroughOdbc();
  void longTextsWhole_data();
  void longTextsWhole();
  void failuresCarryTheDriversWords_data();
  void failuresCarryTheDriversWords();
};

void OdbcTest::valuesAsReadThroughOdbc_data() {
  QTest::addColumn<QString>("expression");
  QTest::addColumn<QString>("expected");
  const QString chinese = QStringLiteral("汉字 text");
  QTest::newRow("true") << "true"
                        << "uint: 1";
  QTest::newRow("false") << "false"
                         << "uint: 0";
  QTest::newRow("int2") << "12::int2"
                        << "int: 12";
  QTest::newRow("int4") << "-7::int4"
                        << "int: -7";
  QTest::newRow("int8") << "9007199254740993::int8"
                        << "qlonglong: 9007199254740993";
  QTest::newRow("numeric") << "1.5::numeric"
                           << "double: 1.5";
  QTest::newRow("float8") << "2.25::float8"
                          << "double: 2.25";
  QTest::newRow("float4") << "2.5::float4"
                          << "QString: [2.5]";
  QTest::newRow("date") << "date '2022-06-20'"
                        << "QDateTime: 2022-06-20T00:00:00.000";
  QTest::newRow("time") << "time '10:15:30'"
                        << "QTime: 10:15:30.000";
  QTest::newRow("timestamp") << "timestamp '2022-06-20 10:15:30'"
                             << "QDateTime: 2022-06-20T10:15:30.000";
  QTest::newRow("timestamp .1") << "timestamp '2022-06-20 10:15:30.1'"
                                << "QDateTime: 2022-06-20T10:15:30.100";
  QTest::newRow("timestamp .123") << "timestamp '2022-06-20 10:15:30.123'"
                                  << "QDateTime: 2022-06-20T10:15:30.123";
  QTest::newRow("timestamp .999999") << "timestamp '2022-06-20 23:59:59.999999'"
                                     << "QDateTime: 2022-06-20T23:59:59.999";
  QTest::newRow("bytea") << "'\\x00ff10'::bytea"
                         << "QByteArray: 00ff10";
  QTest::newRow("empty bytea") << "''::bytea"
                               << "QByteArray: ";
  QTest::newRow("varchar") << "'汉字 text'::varchar(20)" << (QStringLiteral("QString: [") + chinese + u']');
  QTest::newRow("text") << "'汉字 text'::text" << (QStringLiteral("QString: [") + chinese + u']');
  QTest::newRow("char") << "'ab'::char(4)"
                        << "QString: [ab  ]";
  QTest::newRow("empty text") << "''::text"
                              << "QString: []";
  QTest::newRow("null text") << "null::text"
                             << "invalid";
  QTest::newRow("null int") << "null::int4"
                            << "invalid";
  QTest::newRow("null timestamp") << "null::timestamp"
                                  << "invalid";
  QTest::newRow("null bytea") << "null::bytea"
                              << "invalid";
}

void OdbcTest::valuesAsReadThroughOdbc() {
  auto db = TestStore::postgres();
  KG_REQUIRE_PG(db->available());
  QFETCH(QString, expression);
  QFETCH(QString, expected);
  QueryObject query(QStringLiteral("BDOTab"), 30, db->odbcLocation());
  query.setSql(Statement::plain(QStringLiteral("select %1 as 值, 2 as 后").arg(expression)));
  for (int run = 0; run < 2; ++run) { // prepared at the first run, kept for the next
    query.close();
    query.open();
    QCOMPARE(described(query.fieldValue(QStringLiteral("值"))), expected);
    QCOMPARE(described(query.fieldValue(QStringLiteral("后"))), QStringLiteral("int: 2"));
  }
}

void OdbcTest::longTextsWhole_data() {
  QTest::addColumn<int>("repeats");
  // "a𠀀" is three UTF-16 units: across these lengths the driver's pieces
  // end on every unit of it, a surrogate pair cut in two included; 127
  // and 4000 repeats cross the bound texts' lengths where their parameter
  // type changes.
  for (int repeats : {1, 42, 127, 1365, 1366, 1367, 2730, 2731, 4000, 4001, 30000})
    QTest::newRow(qPrintable(QString::number(repeats))) << repeats;
}

void OdbcTest::longTextsWhole() {
  // Longer than one read of the driver, with characters outside the BMP:
  // read whole; and bound whole (the server compares it with its own).
  auto db = TestStore::postgres();
  KG_REQUIRE_PG(db->available());
  QFETCH(int, repeats);
  const QString text = QStringLiteral("a𠀀").repeated(repeats);
  QueryObject query(QStringLiteral("BDOTab"), 30, db->odbcLocation());
  query.setSql(Statement::plain(QStringLiteral("select repeat('a𠀀', %1) as 值").arg(repeats)));
  query.open();
  const QString read = query.fieldValue(QStringLiteral("值")).toString();
  QCOMPARE(read.size(), text.size());
  QVERIFY(read == text);
  query.close();
  query.setSql(Statement::compare(
      QStringLiteral("select char_length(repeat('a𠀀', %1)) as 值 where repeat('a𠀀', %1) = '").arg(repeats), text));
  query.open();
  QCOMPARE(query.rowCount(), 1);
  QCOMPARE(query.fieldValue(QStringLiteral("值")).toInt(), 2 * repeats);
}

void OdbcTest::failuresCarryTheDriversWords_data() {
  QTest::addColumn<QString>("failure"); // login, statement
  QTest::addColumn<QStringList>("told");
  QTest::newRow("wrong password") << "login"
                                  << QStringList{QStringLiteral("Cannot connect to the store"),
                                                 QStringLiteral("password authentication failed")};
  QTest::newRow("unknown column") << "statement"
                                  << QStringList{QStringLiteral("column \"不存在的列\" does not exist"),
                                                 QStringLiteral("select 不存在的列 from lz_kttb")};
}

void OdbcTest::failuresCarryTheDriversWords() {
  // The driver's diagnostics reach the message whole, Chinese names
  // included, with the statement that failed.
  auto db = TestStore::postgres();
  KG_REQUIRE_PG(db->available());
  QFETCH(QString, failure);
  QFETCH(QStringList, told);
  StoreLocation location = db->odbcLocation();
  if (failure == QLatin1String("login"))
    location.odbcConnection.replace(QStringLiteral("Pwd=%1").arg(db->location().password),
                                    QStringLiteral("Pwd=wrong%1").arg(db->location().password));
  QueryObject query(QStringLiteral("ADOTab"), 10, location);
  query.setSql(Statement::plain(QStringLiteral("select 不存在的列 from lz_kttb")));
  try {
    query.open();
    QFAIL("no failure");
  } catch (const StoreError &error) {
    for (const QString &part : told)
      QVERIFY2(error.message().contains(part), qPrintable(error.message()));
  }
  QVERIFY(!query.isOpen());
}

KG_TEST_MAIN(OdbcTest)
#include "tst_odbc.moc"
