// What an edit takes however the text arrives: no control characters, no
// characters outside GBK, and an insertion longer than the room left keeps
// the whole characters that fit. The rule itself as a table, then through
// the windows' edits by typing, input-method commits, pastes, the
// accessibility interface and code; the date pickers take no pasted text;
// the appointment notice reaches assistive technology.

#include "fixture/clientwindows.h"
#include "fixture/testmain.h"
#include "fixture/teststore.h"

#include "form/unit2.h"
#include "main/unit1.h"
#include "platform/textinput.h"

#include <QAccessible>
#include <QClipboard>
#include <QDateTimeEdit>
#include <QInputMethodEvent>
#include <QLineEdit>

namespace {

QString accessibleName(QWidget *widget) {
  QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(widget);
  return iface ? iface->text(QAccessible::Name) : QString();
}

void commit(QWidget *edit, const QString &text) {
  QInputMethodEvent event;
  event.setCommitString(text);
  QCoreApplication::sendEvent(edit, &event);
}

} // namespace

class TextInputTest : public QObject {
  Q_OBJECT

private slots:
  void admit_data();
  void admit();
  void editsTakeNoControlCharacters_data();
  void editsTakeNoControlCharacters();
  void longPasteKeepsWhatFits();
  void everyWayInHoldsTheRule_data();
  void everyWayInHoldsTheRule();
  void pickersTakeNoPastedText();
  void appointmentNoticeCanBeHeard();
};

void TextInputTest::admit_data() {
  QTest::addColumn<QString>("before");
  QTest::addColumn<QString>("after");
  QTest::addColumn<int>("cursor");
  QTest::addColumn<int>("limit");
  QTest::addColumn<bool>("taken");
  QTest::addColumn<QString>("kept");
  QTest::addColumn<int>("keptCursor");

  QTest::newRow("typed letter") << "ab"
                                << "abc" << 3 << 12 << true << "abc" << 3;
  QTest::newRow("typed Chinese character in the middle") << "ab"
                                                         << "a王b" << 2 << 12 << true << "a王b" << 2;
  QTest::newRow("the character past the limit") << "王小红明天好"
                                                << "王小红明天好x" << 7 << 12 << false << "" << 0;
  QTest::newRow("twelve letters fit") << "abcdefghijk"
                                      << "abcdefghijkl" << 12 << 12 << true << "abcdefghijkl" << 12;
  QTest::newRow("tab") << "ab"
                       << "a\tb" << 2 << 12 << false << "" << 0;
  QTest::newRow("line feed") << ""
                             << "\n"
                             << 1 << 12 << false << "" << 0;
  QTest::newRow("bell") << ""
                        << "王\a" << 2 << 12 << false << "" << 0;
  QTest::newRow("escape") << ""
                          << "\x1b" << 1 << 12 << false << "" << 0;
  QTest::newRow("DEL") << "a"
                       << "a\x7f" << 2 << 12 << false << "" << 0;
  QTest::newRow("unit separator 0x1f") << ""
                                       << "\x1f" << 1 << 12 << false << "" << 0;
  QTest::newRow("blank 0x20 is taken") << "a"
                                       << "a " << 2 << 12 << true << "a " << 2;
  QTest::newRow("outside GBK") << "" << QStringLiteral("䶮") << 1 << 12 << false << "" << 0;
  QTest::newRow("long paste keeps whole characters") << ""
                                                     << "欧阳司马东方小红" << 8 << 12 << true << "欧阳司马东方" << 6;
  QTest::newRow("long paste after text, cut inside a character")
      << "abc"
      << "abc欧阳司马东方" << 9 << 12 << true << "abc欧阳司马" << 7;
  QTest::newRow("long paste in the middle") << "ab"
                                            << "a0123456789b" << 11 << 8 << true << "a012345b" << 7;
  QTest::newRow("long paste over a selection") << "abcdef"
                                               << "a0123456789" << 11 << 8 << true << "a0123456" << 8;
  QTest::newRow("nothing fits and nothing replaced") << "王小红明天好"
                                                     << "王小红明天好欧阳" << 10 << 12 << false << "" << 0;
  QTest::newRow("paste with a tab refused whole") << ""
                                                  << "王\t小" << 3 << 12 << false << "" << 0;
  QTest::newRow("deleting is taken even past the limit")
      << "abcdefghijklmn"
      << "abcdefghijklm" << 13 << 12 << true << "abcdefghijklm" << 13;
  QTest::newRow("deleting a control character set by code") << "a\tbc"
                                                            << "a\tb" << 3 << 12 << true << "a\tb" << 3;
}

void TextInputTest::admit() {
  QFETCH(QString, before);
  QFETCH(QString, after);
  QFETCH(int, cursor);
  QFETCH(int, limit);
  QFETCH(bool, taken);
  QFETCH(QString, kept);
  QFETCH(int, keptCursor);
  std::optional<QString> result = textinput::admit(before, after, cursor, limit);
  QCOMPARE(result.has_value(), taken);
  if (taken) {
    QCOMPARE(*result, kept);
    QCOMPARE(cursor, keptCursor);
  }
}

void TextInputTest::editsTakeNoControlCharacters_data() {
  QTest::addColumn<QString>("edit");
  QTest::addColumn<QString>("window");
  for (const char *name : {"xmEdit", "fzxmEdit", "xxdzEdit", "fqxmEdit", "fqdhEdit", "mqxmEdit", "mqdhEdit"})
    QTest::newRow(name) << name << "Form2";
  QTest::newRow("identity-number box") << "sfzEdit"
                                       << "Form1";
}

// Through the window's own edits: an input method's commit and a paste (by
// the edit's paste action, as Shift+Insert and the context menu run it).
void TextInputTest::editsTakeNoControlCharacters() {
  QFETCH(QString, edit);
  QFETCH(QString, window);
  auto store = TestStore::sqlite();
  ClientWindows windows(store->location());
  QWidget *form = window == QLatin1String("Form1") ? static_cast<QWidget *>(Form1) : Form2;
  auto *target = form->findChild<QLineEdit *>(edit);
  QVERIFY(target);
  target->clear();
  for (const QString &text : {QStringLiteral("1\t2"), QStringLiteral("1\n"), QStringLiteral("\a"),
                              QStringLiteral("\x1b[2J"), QStringLiteral("1\x7f"), QStringLiteral("1\r2")}) {
    commit(target, text);
    QCOMPARE(target->text(), QString());
    QGuiApplication::clipboard()->setText(text);
    target->paste();
    QCOMPARE(target->text(), QString());
  }
  commit(target, QStringLiteral("12"));
  QCOMPARE(target->text(), QStringLiteral("12"));
}

void TextInputTest::longPasteKeepsWhatFits() {
  auto store = TestStore::sqlite();
  ClientWindows windows(store->location());
  Form2->xxdzEdit->setText(QStringLiteral("和平路"));
  Form2->xxdzEdit->setCursorPosition(3);
  QGuiApplication::clipboard()->setText(QString(30, QChar(0x53f7))); // 号 x 30
  Form2->xxdzEdit->paste();
  QCOMPARE(Form2->xxdzEdit->text(), QStringLiteral("和平路") + QString(22, QChar(0x53f7))); // 50 bytes
  QCOMPARE(Form2->xxdzEdit->cursorPosition(), 25);
  Form1->sfzEdit->clear();
  QGuiApplication::clipboard()->setText(QStringLiteral("1101012019030500219999"));
  Form1->sfzEdit->paste();
  QCOMPARE(Form1->sfzEdit->text(), QStringLiteral("110101201903050021"));
}

void TextInputTest::everyWayInHoldsTheRule_data() {
  QTest::addColumn<QString>("way");
  QTest::addColumn<QString>("before"); // the edit's text first
  QTest::addColumn<QString>("text");   // what arrives (at the end of the edit's text)
  QTest::addColumn<QString>("kept");   // the edit's text afterwards
  const QStringList ways{QStringLiteral("typed"),
                         QStringLiteral("pasted"),
                         QStringLiteral("input method"),
                         QStringLiteral("accessibility: insert"),
                         QStringLiteral("accessibility: replace"),
                         QStringLiteral("accessibility: value"),
                         QStringLiteral("code: setText")};
  for (const QString &way : ways) {
    // Set as a whole (the value, setText), the text replaces what was there;
    // typed, each character is an insertion of its own.
    const bool whole = way.endsWith(QLatin1String("value")) || way.endsWith(QLatin1String("setText"));
    const bool typed = way == QLatin1String("typed");
    auto row = [&](const char *name, const QString &before, const QString &text, const QString &kept) {
      QTest::newRow(qPrintable(way + QStringLiteral(": ") + QLatin1String(name))) << way << before << text << kept;
    };
    row("a name", QString(), QStringLiteral("王小明"), QStringLiteral("王小明"));
    row("an extension-B character", QStringLiteral("王"), QStringLiteral("王𠀀"),
        typed ? QStringLiteral("王王") : QStringLiteral("王"));
    row("䶮 and an emoji", QString(), QStringLiteral("䶮😀"), QString());
    row("a control character", QStringLiteral("王"), QStringLiteral("小\x1b明"),
        typed ? QStringLiteral("王小明") : QStringLiteral("王"));
    row("longer than the room left", QStringLiteral("王"), QStringLiteral("欧阳司马东方"),
        whole ? QStringLiteral("欧阳司马东方") : QStringLiteral("王欧阳司马东"));
  }
}

// Through the form's name edit (12 bytes), each way a text can arrive.
void TextInputTest::everyWayInHoldsTheRule() {
  QFETCH(QString, way);
  QFETCH(QString, before);
  QFETCH(QString, text);
  QFETCH(QString, kept);
  auto store = TestStore::sqlite();
  ClientWindows windows(store->location());
  QLineEdit *edit = Form2->xmEdit;
  edit->setText(before);
  edit->setCursorPosition(int(before.size()));
  QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(edit);
  QVERIFY(accessible && accessible->editableTextInterface());
  if (way == QLatin1String("typed")) {
    edit->setFocus();
    for (const char32_t c : text.toUcs4())
      QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString::fromUcs4(&c, 1), Qt::NoModifier);
  } else if (way == QLatin1String("pasted")) {
    QGuiApplication::clipboard()->setText(text);
    edit->paste();
  } else if (way == QLatin1String("input method")) {
    commit(edit, text);
  } else if (way == QLatin1String("accessibility: insert")) {
    accessible->editableTextInterface()->insertText(int(before.size()), text);
  } else if (way == QLatin1String("accessibility: replace")) {
    accessible->editableTextInterface()->replaceText(int(before.size()), int(before.size()), text);
  } else if (way == QLatin1String("accessibility: value")) {
    accessible->setText(QAccessible::Value, text);
  } else {
    edit->setText(text);
  }
  QCOMPARE(edit->text(), kept);
  QVERIFY(textinput::fits(edit->text(), 12));
}

void TextInputTest::pickersTakeNoPastedText() {
  auto store = TestStore::sqlite();
  ClientWindows windows(store->location());
  for (QDateTimeEdit *picker : {Form2->DateTimePicker2, Form2->DateTimePicker1}) {
    const QDateTime before = picker->dateTime();
    QGuiApplication::clipboard()->setText(QStringLiteral("2018-01-01"));
    picker->setFocus();
    QTest::keyClick(picker, Qt::Key_A, Qt::ControlModifier); // the field's text selected, as for a paste over it
    QTest::keyClick(picker, Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(picker, Qt::Key_Insert, Qt::ShiftModifier);
    QCOMPARE(picker->dateTime(), before);
    QCOMPARE(picker->contextMenuPolicy(), Qt::NoContextMenu);
    QVERIFY(!picker->acceptDrops());
  }
}

// The notice's text is what assistive technology reads for it.
void TextInputTest::appointmentNoticeCanBeHeard() {
  auto store = TestStore::sqlite();
  ClientWindows windows(store->location());
  const QString notice =
      QStringLiteral("请你于6月25日、26日上午9:30-11：30下午14:30-16:00带上相关证件到[实验幼儿园和平园区]验审要件.");
  Form1->Label2->setText(notice);
  QCOMPARE(accessibleName(Form1->Label2), notice);
  QVERIFY(accessibleName(Form1->Panel2).isEmpty() || accessibleName(Form1->Panel2) == notice);
}

KG_TEST_MAIN(TextInputTest)
#include "tst_textinput.moc"
