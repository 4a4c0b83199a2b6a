// Text-to-integer conversion with the runtime's message, and the error box's
// full stop.

#include "fixture/testmain.h"

#include "core/convert.h"

class ConvertTest : public QObject {
  Q_OBJECT
private slots:
  void strToInt_data();
  void strToInt();
  void errorBoxText_data();
  void errorBoxText();
  void errorCarriesChineseText();
};

void ConvertTest::strToInt_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<bool>("ok");
  QTest::addColumn<int>("value");
  QTest::newRow("birth date of an identity number") << QStringLiteral("20190831") << true << 20190831;
  QTest::newRow("letter O for a zero") << QStringLiteral("2019O831") << false << 0;
  QTest::newRow("empty") << QString() << false << 0;
  QTest::newRow("leading blank") << QStringLiteral(" 12") << true << 12;
  QTest::newRow("leading blanks") << QStringLiteral("   7") << true << 7;
  QTest::newRow("trailing blank") << QStringLiteral("12 ") << false << 0;
  QTest::newRow("blanks only") << QStringLiteral("   ") << false << 0;
  QTest::newRow("leading tab") << QStringLiteral("\t12") << false << 0;
  QTest::newRow("negative") << QStringLiteral("-5") << true << -5;
  QTest::newRow("plus sign") << QStringLiteral("+5") << true << 5;
  QTest::newRow("sign alone") << QStringLiteral("-") << false << 0;
  QTest::newRow("dollar hexadecimal") << QStringLiteral("$1F") << true << 31;
  QTest::newRow("0x hexadecimal") << QStringLiteral("0x1F") << true << 31;
  QTest::newRow("0X hexadecimal, lower-case digits") << QStringLiteral("0Xff") << true << 255;
  QTest::newRow("negative hexadecimal") << QStringLiteral("-$10") << true << -16;
  QTest::newRow("dollar alone") << QStringLiteral("$") << false << 0;
  QTest::newRow("hexadecimal digit in a decimal") << QStringLiteral("1F") << false << 0;
  QTest::newRow("largest") << QStringLiteral("2147483647") << true << 2147483647;
  QTest::newRow("overflow") << QStringLiteral("2147483648") << false << 0;
  QTest::newRow("smallest") << QStringLiteral("-2147483648") << true << int(-2147483647 - 1);
  QTest::newRow("below the smallest") << QStringLiteral("-2147483649") << false << 0;
  QTest::newRow("far too long") << QStringLiteral("99999999999999999999999") << false << 0;
  QTest::newRow("leading zeros") << QStringLiteral("007") << true << 7;
  QTest::newRow("single sex digit") << QStringLiteral("1") << true << 1;
  QTest::newRow("sex position holds X") << QStringLiteral("X") << false << 0;
  QTest::newRow("full-width digit") << QStringLiteral("１") << false << 0;
  QTest::newRow("Chinese character") << QStringLiteral("汉") << false << 0;
  QTest::newRow("decimal point") << QStringLiteral("1.5") << false << 0;
}

void ConvertTest::strToInt() {
  QFETCH(QString, text);
  QFETCH(bool, ok);
  QFETCH(int, value);
  if (ok) {
    QCOMPARE(::strToInt(text), value);
    return;
  }
  try {
    ::strToInt(text);
    QFAIL("no ConvertError raised");
  } catch (const ConvertError &error) {
    const QString expected = QStringLiteral("'") + text + QStringLiteral("' is not a valid integer value");
    QCOMPARE(error.message(), expected);
    QCOMPARE(QString::fromUtf8(error.what()), expected);
  }
}

void ConvertTest::errorBoxText_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<QString>("shown");
  QTest::newRow("letter last") << QStringLiteral("abc") << QStringLiteral("abc.");
  QTest::newRow("full stop last") << QStringLiteral("abc.") << QStringLiteral("abc.");
  QTest::newRow("'!' sorts before '.'") << QStringLiteral("a!") << QStringLiteral("a!");
  QTest::newRow("'-' sorts before '.'") << QStringLiteral("a-") << QStringLiteral("a-");
  QTest::newRow("'/' sorts after '.'") << QStringLiteral("a/") << QStringLiteral("a/.");
  QTest::newRow("digit last") << QStringLiteral("code 7") << QStringLiteral("code 7.");
  QTest::newRow("closing quote sorts before '.'") << QStringLiteral("'x'") << QStringLiteral("'x'");
  QTest::newRow("Chinese last") << QStringLiteral("value错") << QStringLiteral("value错.");
  QTest::newRow("full-width full stop last") << QStringLiteral("完成。") << QStringLiteral("完成。.");
  QTest::newRow("blank last") << QStringLiteral("abc ") << QStringLiteral("abc ");
  QTest::newRow("empty") << QString() << QString();
  QTest::newRow("integer message") << QStringLiteral("'2019O831' is not a valid integer value")
                                   << QStringLiteral("'2019O831' is not a valid integer value.");
}

void ConvertTest::errorBoxText() {
  QFETCH(QString, text);
  QFETCH(QString, shown);
  QCOMPARE(::errorBoxText(text), shown);
}

// A text that cannot be converted comes back unchanged inside the message,
// Chinese included.
void ConvertTest::errorCarriesChineseText() {
  try {
    ::strToInt(QStringLiteral("张三1906"));
    QFAIL("no ConvertError raised");
  } catch (const std::exception &error) {
    QCOMPARE(QString::fromUtf8(error.what()), QStringLiteral("'张三1906' is not a valid integer value"));
  }
}

KG_TEST_MAIN(ConvertTest)
#include "tst_convert.moc"
