// GBK byte counting, byte positions, trimming, and the byte-limited edit.

#include "fixture/testmain.h"

#include "core/gbk.h"
#include "platform/gbkvalidator.h"

#include <QClipboard>
#include <QInputMethodEvent>
#include <QLineEdit>

namespace {

const QChar kHalf = QChar(QChar::ReplacementCharacter);

// Types the text into the edit key by key: ASCII through its key, anything
// else as a key without a code of its own that carries the character.
void typeText(QLineEdit *edit, const QString &text) {
  for (qsizetype i = 0; i < text.size();) {
    qsizetype units = text.at(i).isHighSurrogate() ? 2 : 1;
    QString ch = text.mid(i, units);
    if (ch.at(0).unicode() < 0x80)
      QTest::keyClick(edit, ch.at(0).toLatin1());
    else
      QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, ch, Qt::NoModifier);
    i += units;
  }
}

void commitText(QLineEdit *edit, const QString &text) {
  QInputMethodEvent event;
  event.setCommitString(text);
  QCoreApplication::sendEvent(edit, &event);
}

} // namespace

class GbkTest : public QObject {
  Q_OBJECT
private slots:
  void byteLength_data();
  void byteLength();
  void bytesAt_data();
  void bytesAt();
  void trim_data();
  void trim();
  void encodable_data();
  void encodable();
  void decodeCutBytes_data();
  void decodeCutBytes();
  void validatorStates_data();
  void validatorStates();
  void limitedEdit_data();
  void limitedEdit();
  void typingStopsAtLimit();
};

void GbkTest::byteLength_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<int>("bytes");
  QTest::newRow("empty") << QString() << 0;
  QTest::newRow("two Chinese characters") << QStringLiteral("姓名") << 4;
  QTest::newRow("16 digits and a Chinese character") << QStringLiteral("1234567890123456汉") << 18;
  QTest::newRow("identity number") << QStringLiteral("11010520190620351X") << 18;
  QTest::newRow("ASCII") << QStringLiteral("Hello, world!") << 13;
  QTest::newRow("full-width space") << QStringLiteral("\u3000") << 2;
  QTest::newRow("full-width letters") << QStringLiteral("ＡＢ") << 4;
  QTest::newRow("mixed") << QStringLiteral("a张b三") << 6;
  QTest::newRow("full-width punctuation") << QStringLiteral("【】，：") << 8;
}

void GbkTest::byteLength() {
  QFETCH(QString, text);
  QFETCH(int, bytes);
  QCOMPARE(gbk::byteLength(text), bytes);
  QCOMPARE(int(gbk::encode(text).size()), bytes);
}

void GbkTest::bytesAt_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<int>("pos");
  QTest::addColumn<int>("count");
  QTest::addColumn<QString>("expected");
  const QString id = QStringLiteral("11010520190620351X");
  QTest::newRow("birth date 7..14") << id << 7 << 8 << QStringLiteral("20190620");
  QTest::newRow("year 7..10") << id << 7 << 4 << QStringLiteral("2019");
  QTest::newRow("month 11..12") << id << 11 << 2 << QStringLiteral("06");
  QTest::newRow("day 13..14") << id << 13 << 2 << QStringLiteral("20");
  QTest::newRow("sex digit 17") << id << 17 << 1 << QStringLiteral("1");
  QTest::newRow("check character 18") << id << 18 << 1 << QStringLiteral("X");
  const QString han = QStringLiteral("1234567890123456汉");
  QTest::newRow("whole Chinese character at 17") << han << 17 << 2 << QStringLiteral("汉");
  QTest::newRow("first half of a Chinese character") << han << 17 << 1 << QString(kHalf);
  QTest::newRow("second half of a Chinese character") << han << 18 << 1 << QString(kHalf);
  QTest::newRow("Chinese inside 7..14") << QStringLiteral("123456张三19062012") << 7 << 8 << QStringLiteral("张三1906");
  QTest::newRow("halves of two characters do not join") << QStringLiteral("汉字") << 2 << 2 << (QString(kHalf) + kHalf);
  QTest::newRow("half then ASCII") << QStringLiteral("a汉b") << 3 << 2 << (QString(kHalf) + QLatin1Char('b'));
  QTest::newRow("ASCII then half") << QStringLiteral("a汉b") << 1 << 2 << (QStringLiteral("a") + kHalf);
  QTest::newRow("count beyond the end") << QStringLiteral("abc") << 2 << 10 << QStringLiteral("bc");
  QTest::newRow("position beyond the end") << QStringLiteral("abc") << 5 << 2 << QString();
  QTest::newRow("position 0 counts as 1") << QStringLiteral("abc") << 0 << 2 << QStringLiteral("ab");
  QTest::newRow("count 0") << QStringLiteral("abc") << 1 << 0 << QString();
  QTest::newRow("empty text") << QString() << 1 << 1 << QString();
}

void GbkTest::bytesAt() {
  QFETCH(QString, text);
  QFETCH(int, pos);
  QFETCH(int, count);
  QFETCH(QString, expected);
  QCOMPARE(gbk::bytesAt(text, pos, count), expected);
}

void GbkTest::trim_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<QString>("expected");
  QTest::newRow("blanks") << QStringLiteral("  110105  ") << QStringLiteral("110105");
  QTest::newRow("tabs") << QStringLiteral("\t\tabc\t") << QStringLiteral("abc");
  QTest::newRow("CR LF") << QStringLiteral("\r\nabc\r\n") << QStringLiteral("abc");
  QTest::newRow("control characters") << QStringLiteral("\x01\x1f\x7f"
                                                        "abc\x02 ")
                                      << QStringLiteral("\x7f"
                                                        "abc");
  QTest::newRow("NUL") << QString(QLatin1Char('\0')) + QStringLiteral("abc") << QStringLiteral("abc");
  QTest::newRow("full-width space kept") << QStringLiteral("\u3000张三\u3000") << QStringLiteral("\u3000张三\u3000");
  QTest::newRow("inner blanks kept") << QStringLiteral(" 张 三 ") << QStringLiteral("张 三");
  QTest::newRow("only blanks") << QStringLiteral(" \t \r\n") << QString();
  QTest::newRow("empty") << QString() << QString();
  QTest::newRow("blank and 17 digits") << QStringLiteral(" 11010520190620351") << QStringLiteral("11010520190620351");
}

void GbkTest::trim() {
  QFETCH(QString, text);
  QFETCH(QString, expected);
  QCOMPARE(gbk::trim(text), expected);
}

void GbkTest::encodable_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<bool>("encodable");
  QTest::newRow("Chinese") << QStringLiteral("澄岭区幼儿园") << true;
  QTest::newRow("ASCII") << QStringLiteral("abc 123") << true;
  QTest::newRow("empty") << QString() << true;
  QTest::newRow("full-width space") << QStringLiteral("\u3000") << true;
  QTest::newRow("outside the BMP: U+20000") << QStringLiteral("𠀀") << false;
  QTest::newRow("extension A: U+4DAE") << QStringLiteral("䶮") << false;
  QTest::newRow("one bad character among good ones") << QStringLiteral("张䶮三") << false;
  QTest::newRow("lone surrogate") << QString(QChar(0xD800)) << false;
  // The byte-order mark has no GBK form; one converter would drop it
  // silently, the text would lose a character on its way to the store.
  QTest::newRow("byte-order mark") << QString(QChar(0xFEFF)) << false;
  QTest::newRow("byte-order mark after Chinese") << (QStringLiteral("张三") + QChar(0xFEFF)) << false;
}

void GbkTest::encodable() {
  QFETCH(QString, text);
  QFETCH(bool, encodable);
  // Each answer stands on its own: a refused text just before, and a
  // refused decode, leave nothing behind for the next.
  QVERIFY(!gbk::encodable(QStringLiteral("䶮")));
  gbk::decode(QByteArray("\xff\xff"));
  QCOMPARE(gbk::encodable(text), encodable);
  QVERIFY(gbk::encodable(QStringLiteral("汉")));
  bool ok = !encodable;
  gbk::encode(text, &ok);
  QCOMPARE(ok, encodable);
  if (encodable)
    QCOMPARE(gbk::decode(gbk::encode(text)), text);
}

void GbkTest::decodeCutBytes_data() {
  QTest::addColumn<QByteArray>("bytes");
  QTest::addColumn<QString>("text");
  QTest::newRow("whole character") << QByteArray("\xba\xba") << QStringLiteral("汉");
  QTest::newRow("lead byte alone at the end") << QByteArray("12\xba") << (QStringLiteral("12") + kHalf);
  QTest::newRow("empty") << QByteArray() << QString();
  QTest::newRow("lead byte before a digit") << QByteArray("\x81"
                                                          "0")
                                            << (kHalf + QStringLiteral("0"));
  QTest::newRow("lead byte before a blank") << QByteArray("\xba 1") << (kHalf + QStringLiteral(" 1"));
}

// Bytes cut in the middle of a character still show that something was there.
void GbkTest::decodeCutBytes() {
  QFETCH(QByteArray, bytes);
  QFETCH(QString, text);
  QCOMPARE(gbk::decode(bytes), text);
}

void GbkTest::validatorStates_data() {
  QTest::addColumn<int>("limit");
  QTest::addColumn<QString>("input");
  QTest::addColumn<bool>("accepted");
  QTest::newRow("empty") << 12 << QString() << true;
  QTest::newRow("six Chinese characters in 12") << 12 << QStringLiteral("一二三四五六") << true;
  QTest::newRow("seven Chinese characters in 12") << 12 << QStringLiteral("一二三四五六七") << false;
  QTest::newRow("twelve letters in 12") << 12 << QStringLiteral("abcdefghijkl") << true;
  QTest::newRow("thirteen letters in 12") << 12 << QStringLiteral("abcdefghijklm") << false;
  QTest::newRow("eleven letters and a Chinese character") << 12 << QStringLiteral("abcdefghijk张") << false;
  QTest::newRow("18 bytes in 18") << 18 << QStringLiteral("1234567890123456汉") << true;
  QTest::newRow("phone edit: 11 letters") << 11 << QStringLiteral("abcdefghijk") << true;
  QTest::newRow("phone edit: 12th byte") << 11 << QStringLiteral("138001380001") << false;
  QTest::newRow("character outside GBK within the limit") << 12 << QStringLiteral("张䶮") << false;
  QTest::newRow("character outside the BMP") << 12 << QStringLiteral("𠀀") << false;
}

void GbkTest::validatorStates() {
  QFETCH(int, limit);
  QFETCH(QString, input);
  QFETCH(bool, accepted);
  gbk::LimitValidator validator(limit);
  QCOMPARE(validator.maxBytes(), limit);
  int pos = int(input.size());
  QCOMPARE(validator.validate(input, pos), accepted ? QValidator::Acceptable : QValidator::Invalid);
}

// Each way text reaches a byte-limited edit: typed key by key, committed by an
// input method, pasted.
void GbkTest::limitedEdit_data() {
  QTest::addColumn<int>("limit");
  QTest::addColumn<QString>("before");
  QTest::addColumn<QString>("how"); // type, commit, paste
  QTest::addColumn<QString>("input");
  QTest::addColumn<QString>("after");

  QTest::newRow("type: six Chinese characters fit")
      << 12 << QString() << "type" << QStringLiteral("一二三四五六") << QStringLiteral("一二三四五六");
  QTest::newRow("type: the seventh is refused")
      << 12 << QString() << "type" << QStringLiteral("一二三四五六七") << QStringLiteral("一二三四五六");
  QTest::newRow("type: twelve letters fit")
      << 12 << QString() << "type" << QStringLiteral("abcdefghijkl") << QStringLiteral("abcdefghijkl");
  QTest::newRow("type: the thirteenth letter is refused")
      << 12 << QString() << "type" << QStringLiteral("abcdefghijklm") << QStringLiteral("abcdefghijkl");
  QTest::newRow("type: a Chinese character after eleven letters is refused")
      << 12 << QStringLiteral("abcdefghijk") << "type" << QStringLiteral("张") << QStringLiteral("abcdefghijk");
  QTest::newRow("type: a letter after eleven letters fits")
      << 12 << QStringLiteral("abcdefghijk") << "type" << QStringLiteral("l") << QStringLiteral("abcdefghijkl");
  QTest::newRow("type: a character outside GBK is refused")
      << 12 << QStringLiteral("张") << "type" << QStringLiteral("䶮") << QStringLiteral("张");
  QTest::newRow("type: a character outside the BMP is refused")
      << 12 << QStringLiteral("张") << "type" << QStringLiteral("𠀀三") << QStringLiteral("张三");
  QTest::newRow("type: 25 Chinese characters fill an address")
      << 50 << QString() << "type" << QString(26, QChar(0x5740)) << QString(25, QChar(0x5740));

  QTest::newRow("commit: two characters fit")
      << 12 << QStringLiteral("张") << "commit" << QStringLiteral("小明") << QStringLiteral("张小明");
  QTest::newRow("commit: beyond the limit is refused whole")
      << 12 << QStringLiteral("一二三四五") << "commit" << QStringLiteral("六七") << QStringLiteral("一二三四五");
  QTest::newRow("commit: a character outside GBK is refused")
      << 12 << QStringLiteral("张") << "commit" << QStringLiteral("䶮") << QStringLiteral("张");
  QTest::newRow("commit: a character outside the BMP is refused")
      << 12 << QString() << "commit" << QStringLiteral("𠀀") << QString();

  QTest::newRow("paste: fitting text") << 18 << QString() << "paste" << QStringLiteral("11010520190620351X")
                                       << QStringLiteral("11010520190620351X");
  QTest::newRow("paste: over-long text is refused whole")
      << 18 << QString() << "paste" << QStringLiteral("11010520190620351X1") << QString();
  QTest::newRow("paste: over-long Chinese text is refused whole")
      << 12 << QStringLiteral("张") << "paste" << QStringLiteral("一二三四五六") << QStringLiteral("张");
  QTest::newRow("paste: text with a character outside GBK is refused")
      << 12 << QString() << "paste" << QStringLiteral("张䶮") << QString();
}

void GbkTest::limitedEdit() {
  QFETCH(int, limit);
  QFETCH(QString, before);
  QFETCH(QString, how);
  QFETCH(QString, input);
  QFETCH(QString, after);

  QLineEdit edit;
  edit.setValidator(new gbk::LimitValidator(limit, &edit));
  edit.show();
  QVERIFY(QTest::qWaitForWindowExposed(&edit));
  edit.setText(before);
  edit.setCursorPosition(int(before.size()));

  if (how == QLatin1String("type")) {
    typeText(&edit, input);
  } else if (how == QLatin1String("commit")) {
    commitText(&edit, input);
  } else {
    QGuiApplication::clipboard()->setText(input);
    QCOMPARE(QGuiApplication::clipboard()->text(), input);
    QTest::keyClick(&edit, Qt::Key_V, Qt::ControlModifier);
  }
  QCOMPARE(edit.text(), after);
  QVERIFY(gbk::byteLength(edit.text()) <= limit);
}

// Typed one key at a time over mixed text, each key is taken while it still
// fits, and the edit ends exactly at its limit.
void GbkTest::typingStopsAtLimit() {
  QLineEdit edit;
  edit.setValidator(new gbk::LimitValidator(12, &edit));
  edit.show();
  QVERIFY(QTest::qWaitForWindowExposed(&edit));
  const QString input = QStringLiteral("ab张三cd李四ef王五");
  QString expected;
  for (QChar ch : input) {
    typeText(&edit, QString(ch));
    if (gbk::byteLength(expected + ch) <= 12)
      expected += ch;
    QCOMPARE(edit.text(), expected);
  }
  QCOMPARE(edit.text(), QStringLiteral("ab张三cd李四"));
  QCOMPARE(gbk::byteLength(edit.text()), 12);
}

KG_TEST_MAIN(GbkTest)
#include "tst_gbk.moc"
