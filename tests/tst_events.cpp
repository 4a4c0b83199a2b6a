// The platform seams the windows' handlers are written against: message
// boxes, the clipboard guard, and the control events (key down with its
// virtual-key code, mouse down, click, double-click) on real edits.

#include "fixture/dialogscript.h"
#include "fixture/testmain.h"

#include "app/application.h"
#include "core/convert.h"
#include "platform/clipboard.h"
#include "platform/dialogs.h"
#include "platform/events.h"

#include <QClipboard>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

Q_DECLARE_METATYPE(dialogs::Kind)
Q_DECLARE_METATYPE(dialogs::Answer)
Q_DECLARE_METATYPE(TMouseButton)

namespace {

const QString kTitle = QStringLiteral("澄岭区2022年城区公办幼儿园小班招生网络填报系统");

struct KeyCall {
  QObject *sender;
  quint16 key;
  TShiftState shift;
};

struct MouseCall {
  QObject *sender;
  TMouseButton button;
  TShiftState shift;
  QPoint at;
};

// An edit with every hook recorded. (The clipboard guard itself is tested on
// the real guarded edits, in tst_clipboardguard.)
class HookedEdit {
public:
  HookedEdit() {
    edit.resize(200, 30);
    edit.show();
    if (!QTest::qWaitForWindowExposed(&edit))
      qWarning("the edit was not exposed");
    ControlEvents *hook = ControlEvents::of(&edit);
    hook->onKeyDown = [this](QObject *sender, quint16 &key, TShiftState shift) { keys.append({sender, key, shift}); };
    hook->onMouseDown = [this](QObject *sender, TMouseButton button, TShiftState shift, int x, int y) {
      mice.append({sender, button, shift, QPoint(x, y)});
    };
    hook->onClick = [this](QObject *sender) {
      clicks.append(sender);
      edit.selectAll();
    };
    hook->onDblClick = [this](QObject *sender) {
      dblClicks.append(sender);
      edit.clear();
    };
  }

  QLineEdit edit;
  QList<KeyCall> keys;
  QList<MouseCall> mice;
  QObjectList clicks;
  QObjectList dblClicks;
};

void sendInputMethod(QWidget *to, const QString &commit, const QString &preedit = QString()) {
  QInputMethodEvent event(preedit, {});
  event.setCommitString(commit);
  QCoreApplication::sendEvent(to, &event);
}

// What a real box showed, read while it was open.
struct SeenBox {
  bool seen = false;
  QString text;
  QString title;
  QString description;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QStringList buttons;
  QString defaultButton;
  QString escapeButton;
};

// Waits for the modal box, records it and answers it: "yes", "no", "ok" by
// clicking, "escape" by the Escape key.
void answerRealBox(SeenBox *seen, const QString &how) {
  auto *timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, seen, how]() {
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box)
      return;
    timer->stop();
    timer->deleteLater();
    seen->seen = true;
    seen->text = box->text();
    seen->title = box->windowTitle();
    seen->description = box->accessibleDescription();
    seen->icon = box->icon();
    for (QAbstractButton *button : box->buttons())
      seen->buttons.append(button->text());
    seen->buttons.sort();
    if (box->defaultButton())
      seen->defaultButton = box->defaultButton()->text();
    if (box->escapeButton())
      seen->escapeButton = box->escapeButton()->text();
    if (how == QLatin1String("escape")) {
      QTest::keyClick(box, Qt::Key_Escape);
      return;
    }
    for (QAbstractButton *button : box->buttons()) {
      const QMessageBox::StandardButton which = box->standardButton(button);
      if ((how == QLatin1String("yes") && which == QMessageBox::Yes) ||
          (how == QLatin1String("no") && which == QMessageBox::No) ||
          (how == QLatin1String("ok") && which == QMessageBox::Ok)) {
        button->click();
        return;
      }
    }
    box->reject();
  });
  timer->start();
}

} // namespace

class EventsTest : public QObject {
  Q_OBJECT
private slots:
  void init();

  // Message boxes.
  void seamRecordsBoxes_data();
  void seamRecordsBoxes();
  void seamGivesScriptedAnswers();
  void displayText_data();
  void displayText();
  void realBoxes_data();
  void realBoxes();

  // Clipboard guard.
  void guardsKey_data();
  void guardsKey();
  void emptyClearsTheClipboard();

  // Control events.
  void virtualKey_data();
  void virtualKey();
  void keyDownOnEdit_data();
  void keyDownOnEdit();
  void mouseDown_data();
  void mouseDown();
  void clickSelectsAll();
  void clickNeedsLeftButtonReleasedInside();
  void doubleClickClears();
  void oneHookPerControl();
  void handlerExceptionReachesErrorBox();
  void tags();
};

void EventsTest::init() {
  dialogs::clearResponder();
  QGuiApplication::clipboard()->clear();
}

void EventsTest::seamRecordsBoxes_data() {
  QTest::addColumn<dialogs::Kind>("kind");
  QTest::addColumn<QString>("text");
  QTest::newRow("message") << dialogs::Kind::Message << QStringLiteral("请输入18位有效身份证号");
  QTest::newRow("message with carriage returns")
      << dialogs::Kind::Message << QStringLiteral("对不起!\r\r    你还没有进行信息填报,请进行[申请填报]操作再进行");
  QTest::newRow("message with blanks at both ends") << dialogs::Kind::Message << QStringLiteral("  x  ");
  QTest::newRow("empty message") << dialogs::Kind::Message << QString();
  QTest::newRow("yes/no") << dialogs::Kind::YesNo << QStringLiteral("确定提交吗?\r\n[Yes] 提交  [No] 返回");
  QTest::newRow("error") << dialogs::Kind::Error << QStringLiteral("'2019O831' is not a valid integer value.");
}

// With a responder installed, no box is shown: the responder sees the kind,
// the exact text and the caption of each.
void EventsTest::seamRecordsBoxes() {
  QFETCH(dialogs::Kind, kind);
  QFETCH(QString, text);
  DialogScript script;
  if (kind == dialogs::Kind::Message)
    dialogs::message(text);
  else if (kind == dialogs::Kind::YesNo)
    QCOMPARE(dialogs::yesNo(text), dialogs::Answer::Yes);
  else
    dialogs::error(text);
  QVERIFY(QApplication::activeModalWidget() == nullptr);
  QCOMPARE(script.shown.size(), 1);
  QCOMPARE(script.shown.at(0).kind, kind);
  QCOMPARE(script.shown.at(0).text, text);
  QCOMPARE(script.texts(), QStringList{text});
  if (kind == dialogs::Kind::YesNo)
    QVERIFY(!script.shown.at(0).caption.isEmpty());
  else
    QCOMPARE(script.shown.at(0).caption, kTitle);
  QCOMPARE(dialogs::caption(), kTitle);
}

void EventsTest::seamGivesScriptedAnswers() {
  DialogScript script;
  script.answers = {dialogs::Answer::No, dialogs::Answer::Closed, dialogs::Answer::Yes};
  QStringList seenWhileOpen;
  script.onShow = [&](const dialogs::Shown &box) { seenWhileOpen.append(box.text); };
  QCOMPARE(dialogs::yesNo(QStringLiteral("first")), dialogs::Answer::No);
  dialogs::message(QStringLiteral("between")); // takes no scripted answer
  QCOMPARE(dialogs::yesNo(QStringLiteral("second")), dialogs::Answer::Closed);
  QCOMPARE(dialogs::yesNo(QStringLiteral("third")), dialogs::Answer::Yes);
  QCOMPARE(dialogs::yesNo(QStringLiteral("answers ran out")), dialogs::Answer::Yes);
  QCOMPARE(seenWhileOpen, QStringList({"first", "between", "second", "third", "answers ran out"}));
  QCOMPARE(script.shown.at(1).kind, dialogs::Kind::Message);
}

void EventsTest::displayText_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<QString>("shown");
  QTest::newRow("CR") << QStringLiteral("a\rb") << QStringLiteral("a\nb");
  QTest::newRow("CR LF") << QStringLiteral("a\r\nb") << QStringLiteral("a\nb");
  QTest::newRow("two CRs then blanks") << QStringLiteral("警告!\r\r    已升级")
                                       << QStringLiteral("警告!\n\n    已升级");
  QTest::newRow("two CR LFs") << QStringLiteral("a\r\n\r\nb") << QStringLiteral("a\n\nb");
  QTest::newRow("LF CR") << QStringLiteral("a\n\rb") << QStringLiteral("a\n\nb");
  QTest::newRow("LF alone") << QStringLiteral("a\nb") << QStringLiteral("a\nb");
  QTest::newRow("CR at the end") << QStringLiteral("a\r") << QStringLiteral("a\n");
  QTest::newRow("closed-filing message") << QStringLiteral("警告!\r\r    还没有开通,不能进行填报.\r\n请于2022年6月20日")
                                         << QStringLiteral("警告!\n\n    还没有开通,不能进行填报.\n请于2022年6月20日");
  QTest::newRow("no line breaks") << QStringLiteral("网络问题,操作失败") << QStringLiteral("网络问题,操作失败");
  QTest::newRow("empty") << QString() << QString();
}

void EventsTest::displayText() {
  QFETCH(QString, text);
  QFETCH(QString, shown);
  QCOMPARE(dialogs::displayText(text), shown);
}

// Without a responder the real, modal boxes come up: their text, caption,
// icon and buttons, and the answer of the button pressed.
void EventsTest::realBoxes_data() {
  QTest::addColumn<dialogs::Kind>("kind");
  QTest::addColumn<QString>("how");
  QTest::addColumn<dialogs::Answer>("answer");
  QTest::newRow("message, OK") << dialogs::Kind::Message << "ok" << dialogs::Answer::Ok;
  QTest::newRow("error, OK") << dialogs::Kind::Error << "ok" << dialogs::Answer::Ok;
  QTest::newRow("yes/no, Yes") << dialogs::Kind::YesNo << "yes" << dialogs::Answer::Yes;
  QTest::newRow("yes/no, No") << dialogs::Kind::YesNo << "no" << dialogs::Answer::No;
  QTest::newRow("yes/no, Escape") << dialogs::Kind::YesNo << "escape" << dialogs::Answer::No;
}

void EventsTest::realBoxes() {
  QFETCH(dialogs::Kind, kind);
  QFETCH(QString, how);
  QFETCH(dialogs::Answer, answer);
  const QString text = QStringLiteral("警告!\r\r    第二行\r\n第三行");
  SeenBox seen;
  answerRealBox(&seen, how);
  dialogs::Answer got = dialogs::Answer::Ok;
  if (kind == dialogs::Kind::Message)
    dialogs::message(text);
  else if (kind == dialogs::Kind::Error)
    dialogs::error(text);
  else
    got = dialogs::yesNo(text);
  QVERIFY(seen.seen);
  QCOMPARE(got, answer);
  QCOMPARE(seen.text, QStringLiteral("警告!\n\n    第二行\n第三行"));
  QCOMPARE(seen.description, text);
  if (kind == dialogs::Kind::YesNo) {
    QCOMPARE(seen.icon, QMessageBox::Warning);
    QCOMPARE(seen.buttons, QStringList({"&No", "&Yes"}));
    QCOMPARE(seen.defaultButton, QStringLiteral("&Yes"));
    QCOMPARE(seen.escapeButton, QStringLiteral("&No"));
  } else {
    QCOMPARE(seen.title, kTitle);
    QCOMPARE(seen.icon, kind == dialogs::Kind::Error ? QMessageBox::Critical : QMessageBox::NoIcon);
    QCOMPARE(seen.buttons.size(), 1);
  }
}

void EventsTest::guardsKey_data() {
  QTest::addColumn<int>("key");
  QTest::addColumn<int>("shift");
  QTest::addColumn<bool>("guarded");
  QTest::newRow("Ctrl+V") << 86 << int(ssCtrl) << true;
  QTest::newRow("Ctrl+C") << 67 << int(ssCtrl) << true;
  QTest::newRow("Ctrl+X") << 88 << int(ssCtrl) << true;
  QTest::newRow("Ctrl alone") << 17 << int(ssCtrl) << true;
  QTest::newRow("Ctrl+Shift+Insert") << 45 << int(ssCtrl | ssShift) << true;
  QTest::newRow("Ctrl with a mouse button held") << 65 << int(ssCtrl | ssLeft) << true;
  QTest::newRow("V alone") << 86 << 0 << true;
  QTest::newRow("Shift+V") << 86 << int(ssShift) << true;
  QTest::newRow("Alt+V") << 86 << int(ssAlt) << true;
  QTest::newRow("input method key") << 229 << 0 << true;
  QTest::newRow("input method key with Shift") << 229 << int(ssShift) << true;
  QTest::newRow("Shift+Insert") << 45 << int(ssShift) << false;
  QTest::newRow("Insert") << 45 << 0 << false;
  QTest::newRow("plain letter A") << 65 << 0 << false;
  QTest::newRow("Shift+A") << 65 << int(ssShift) << false;
  QTest::newRow("Alt+A") << 65 << int(ssAlt) << false;
  QTest::newRow("Enter") << 13 << 0 << false;
  QTest::newRow("digit 6 (code 54)") << 54 << 0 << false;
  QTest::newRow("F7 (code 118)") << 118 << 0 << false;
  QTest::newRow("code 0") << 0 << 0 << false;
}

void EventsTest::guardsKey() {
  QFETCH(int, key);
  QFETCH(int, shift);
  QFETCH(bool, guarded);
  QCOMPARE(clipboard::guardsKey(quint16(key), shift), guarded);
}

void EventsTest::emptyClearsTheClipboard() {
  QGuiApplication::clipboard()->setText(QStringLiteral("粘贴的文字"));
  QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("粘贴的文字"));
  clipboard::empty();
  QCOMPARE(QGuiApplication::clipboard()->text(), QString());
  clipboard::empty(); // already empty
  QCOMPARE(QGuiApplication::clipboard()->text(), QString());
}

void EventsTest::virtualKey_data() {
  QTest::addColumn<int>("qtKey");
  QTest::addColumn<int>("modifiers");
  QTest::addColumn<QString>("text");
  QTest::addColumn<int>("code");
  QTest::newRow("A") << int(Qt::Key_A) << 0 << "a" << 65;
  QTest::newRow("V") << int(Qt::Key_V) << 0 << "v" << 86;
  QTest::newRow("Shift+V") << int(Qt::Key_V) << int(Qt::ShiftModifier) << "V" << 86;
  QTest::newRow("Ctrl+V") << int(Qt::Key_V) << int(Qt::ControlModifier) << "\x16" << 86;
  QTest::newRow("Z") << int(Qt::Key_Z) << 0 << "z" << 90;
  QTest::newRow("0") << int(Qt::Key_0) << 0 << "0" << 48;
  QTest::newRow("9 on the keypad") << int(Qt::Key_9) << int(Qt::KeypadModifier) << "9" << 57;
  QTest::newRow("Return") << int(Qt::Key_Return) << 0 << "\r" << 13;
  QTest::newRow("Enter on the keypad") << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << "\r" << 13;
  QTest::newRow("Backspace") << int(Qt::Key_Backspace) << 0 << "" << 8;
  QTest::newRow("Tab") << int(Qt::Key_Tab) << 0 << "\t" << 9;
  QTest::newRow("Escape") << int(Qt::Key_Escape) << 0 << "" << 27;
  QTest::newRow("Space") << int(Qt::Key_Space) << 0 << " " << 32;
  QTest::newRow("Insert") << int(Qt::Key_Insert) << 0 << "" << 45;
  QTest::newRow("Delete") << int(Qt::Key_Delete) << 0 << "" << 46;
  QTest::newRow("Left") << int(Qt::Key_Left) << 0 << "" << 37;
  QTest::newRow("F1") << int(Qt::Key_F1) << 0 << "" << 112;
  QTest::newRow("Control") << int(Qt::Key_Control) << int(Qt::ControlModifier) << "" << 17;
  QTest::newRow("Shift") << int(Qt::Key_Shift) << int(Qt::ShiftModifier) << "" << 16;
  QTest::newRow("Chinese text without a key") << int(Qt::Key_unknown) << 0 << "张" << 229;
}

void EventsTest::virtualKey() {
  QFETCH(int, qtKey);
  QFETCH(int, modifiers);
  QFETCH(QString, text);
  QFETCH(int, code);
  QKeyEvent event(QEvent::KeyPress, qtKey, Qt::KeyboardModifiers(modifiers), text);
  QCOMPARE(int(::virtualKey(&event)), code);
}

// What the key-down hook of a real edit receives, and that the edit still
// handles the key afterwards.
void EventsTest::keyDownOnEdit_data() {
  QTest::addColumn<QString>("how"); // key, char, text, commit, preedit, emptyIm
  QTest::addColumn<int>("qtKey");
  QTest::addColumn<int>("modifiers");
  QTest::addColumn<QString>("input");
  QTest::addColumn<QList<int>>("codes");  // one key down each, modifier keys included
  QTest::addColumn<QList<int>>("shifts"); // the shift state of each
  QTest::addColumn<QString>("textAfter"); // null: what the edit makes of it is the toolkit's affair
  using L = QList<int>;
  QTest::newRow("V") << "key" << int(Qt::Key_V) << 0 << "" << L{86} << L{0} << "v";
  QTest::newRow("Shift+V") << "char" << int('V') << int(Qt::ShiftModifier) << "" << L{16, 86} << L{ssShift, ssShift}
                           << "V";
  QTest::newRow("Ctrl+V") << "key" << int(Qt::Key_V) << int(Qt::ControlModifier) << "" << L{17, 86} << L{ssCtrl, ssCtrl}
                          << "";
  QTest::newRow("Ctrl+Alt+A") << "key" << int(Qt::Key_A) << int(Qt::ControlModifier | Qt::AltModifier) << ""
                              << L{17, 18, 65} << L{ssCtrl, ssCtrl | ssAlt, ssCtrl | ssAlt} << QString();
  QTest::newRow("Return") << "key" << int(Qt::Key_Return) << 0 << "" << L{13} << L{0} << "";
  QTest::newRow("digit") << "key" << int(Qt::Key_7) << 0 << "" << L{55} << L{0} << "7";
  QTest::newRow("Chinese character typed") << "text" << 0 << 0 << "张" << L{229} << L{0} << "张";
  QTest::newRow("input method commit") << "commit" << 0 << 0 << "张三" << L{229} << L{0} << "张三";
  QTest::newRow("input method composing") << "preedit" << 0 << 0 << "zhang" << L{229} << L{0} << "";
  QTest::newRow("input method event without text") << "emptyIm" << 0 << 0 << "" << L{} << L{} << "";
}

void EventsTest::keyDownOnEdit() {
  QFETCH(QString, how);
  QFETCH(int, qtKey);
  QFETCH(int, modifiers);
  QFETCH(QString, input);
  QFETCH(QList<int>, codes);
  QFETCH(QList<int>, shifts);
  QFETCH(QString, textAfter);
  HookedEdit hooked;
  if (how == QLatin1String("key"))
    QTest::keyClick(&hooked.edit, Qt::Key(qtKey), Qt::KeyboardModifiers(modifiers));
  else if (how == QLatin1String("char"))
    QTest::keyClick(&hooked.edit, char(qtKey), Qt::KeyboardModifiers(modifiers));
  else if (how == QLatin1String("text"))
    QTest::sendKeyEvent(QTest::Click, &hooked.edit, Qt::Key_unknown, input, Qt::NoModifier);
  else if (how == QLatin1String("commit"))
    sendInputMethod(&hooked.edit, input);
  else if (how == QLatin1String("preedit"))
    sendInputMethod(&hooked.edit, QString(), input);
  else
    sendInputMethod(&hooked.edit, QString());

  QList<int> gotCodes, gotShifts;
  for (const KeyCall &call : std::as_const(hooked.keys)) {
    QCOMPARE(call.sender, &hooked.edit);
    gotCodes.append(call.key);
    gotShifts.append(call.shift);
  }
  QCOMPARE(gotCodes, codes);
  QCOMPARE(gotShifts, shifts);
  if (!textAfter.isNull())
    QCOMPARE(hooked.edit.text(), textAfter);
  QVERIFY(hooked.mice.isEmpty());
}

void EventsTest::mouseDown_data() {
  QTest::addColumn<int>("qtButton");
  QTest::addColumn<int>("modifiers");
  QTest::addColumn<TMouseButton>("button");
  QTest::addColumn<int>("shift");
  QTest::newRow("right") << int(Qt::RightButton) << 0 << TMouseButton::mbRight << int(ssRight);
  QTest::newRow("left") << int(Qt::LeftButton) << 0 << TMouseButton::mbLeft << int(ssLeft);
  QTest::newRow("middle") << int(Qt::MiddleButton) << 0 << TMouseButton::mbMiddle << int(ssMiddle);
  QTest::newRow("Shift+right") << int(Qt::RightButton) << int(Qt::ShiftModifier) << TMouseButton::mbRight
                               << int(ssRight | ssShift);
  QTest::newRow("Ctrl+left") << int(Qt::LeftButton) << int(Qt::ControlModifier) << TMouseButton::mbLeft
                             << int(ssLeft | ssCtrl);
}

void EventsTest::mouseDown() {
  QFETCH(int, qtButton);
  QFETCH(int, modifiers);
  QFETCH(TMouseButton, button);
  QFETCH(int, shift);
  HookedEdit hooked;
  QTest::mousePress(&hooked.edit, Qt::MouseButton(qtButton), Qt::KeyboardModifiers(modifiers), QPoint(12, 7));
  QTest::mouseRelease(&hooked.edit, Qt::MouseButton(qtButton), Qt::KeyboardModifiers(modifiers), QPoint(12, 7));
  QCOMPARE(hooked.mice.size(), 1);
  QCOMPARE(hooked.mice.at(0).sender, &hooked.edit);
  QCOMPARE(hooked.mice.at(0).button, button);
  QCOMPARE(hooked.mice.at(0).shift, shift);
  QCOMPARE(hooked.mice.at(0).at, QPoint(12, 7));
  QVERIFY(hooked.keys.isEmpty());
  QVERIFY(hooked.dblClicks.isEmpty());
}

// A click selects the whole text, and the edit's own handling of the release
// that follows leaves the selection in place, so typing replaces the text.
void EventsTest::clickSelectsAll() {
  HookedEdit hooked;
  hooked.edit.setText(QStringLiteral("11010520190620351X"));
  hooked.edit.setFocus();
  QTest::mouseClick(&hooked.edit, Qt::LeftButton, {}, QPoint(20, 10));
  QCOMPARE(hooked.clicks.size(), 1);
  QCOMPARE(hooked.clicks.at(0), &hooked.edit);
  QCOMPARE(hooked.edit.selectedText(), QStringLiteral("11010520190620351X"));
  QCOMPARE(hooked.mice.size(), 1);

  // A second click on the selected text keeps it selected too.
  QTest::mouseClick(&hooked.edit, Qt::LeftButton, {}, QPoint(40, 10));
  QCOMPARE(hooked.clicks.size(), 2);
  QCOMPARE(hooked.edit.selectedText(), QStringLiteral("11010520190620351X"));

  QTest::keyClick(&hooked.edit, Qt::Key_1);
  QCOMPARE(hooked.edit.text(), QStringLiteral("1"));
}

void EventsTest::clickNeedsLeftButtonReleasedInside() {
  HookedEdit hooked;
  hooked.edit.setText(QStringLiteral("abc"));
  QTest::mouseClick(&hooked.edit, Qt::RightButton, {}, QPoint(10, 10));
  QTest::mouseClick(&hooked.edit, Qt::MiddleButton, {}, QPoint(10, 10));
  QTest::mousePress(&hooked.edit, Qt::LeftButton, {}, QPoint(10, 10));
  QTest::mouseRelease(&hooked.edit, Qt::LeftButton, {}, QPoint(500, 10)); // dragged off the box
  QVERIFY(hooked.clicks.isEmpty());
  QCOMPARE(hooked.mice.size(), 3);
}

// A double-click runs the double-click hook once and leaves the box empty;
// no mouse-down reaches the hook for the second press of the left button.
void EventsTest::doubleClickClears() {
  HookedEdit hooked;
  hooked.edit.setText(QStringLiteral("11010520190620351X"));
  const QPoint at(20, 10);
  QTest::mousePress(&hooked.edit, Qt::LeftButton, {}, at);
  QTest::mouseRelease(&hooked.edit, Qt::LeftButton, {}, at);
  QTest::mouseDClick(&hooked.edit, Qt::LeftButton, {}, at);
  QTest::mouseRelease(&hooked.edit, Qt::LeftButton, {}, at);
  QCOMPARE(hooked.dblClicks.size(), 1);
  QCOMPARE(hooked.dblClicks.at(0), &hooked.edit);
  QCOMPARE(hooked.edit.text(), QString());
  QCOMPARE(hooked.mice.size(), 1);

  // A right-button double-click is a mouse-down, not a double-click.
  QTest::mouseDClick(&hooked.edit, Qt::RightButton, {}, at);
  QTest::mouseRelease(&hooked.edit, Qt::RightButton, {}, at);
  QCOMPARE(hooked.dblClicks.size(), 1);
  QCOMPARE(hooked.mice.size(), 2);
  QCOMPARE(hooked.mice.at(1).button, TMouseButton::mbRight);
}

// Asking twice for a control's hook gives the same one, so each event is
// delivered once; hooks of different controls are apart.
void EventsTest::oneHookPerControl() {
  QLineEdit first, second;
  QCOMPARE(ControlEvents::of(&first), ControlEvents::of(&first));
  QVERIFY(ControlEvents::of(&first) != ControlEvents::of(&second));
  QCOMPARE(ControlEvents::of(&first)->parent(), &first);
  int firstKeys = 0, secondKeys = 0;
  ControlEvents::of(&first)->onKeyDown = [&](QObject *, quint16 &, TShiftState) { ++firstKeys; };
  ControlEvents::of(&second)->onKeyDown = [&](QObject *, quint16 &, TShiftState) { ++secondKeys; };
  QTest::keyClick(&first, Qt::Key_A);
  QCOMPARE(firstKeys, 1);
  QCOMPARE(secondKeys, 0);
  QCOMPARE(first.text(), QStringLiteral("a"));

  // Without handlers the control works as usual.
  QLineEdit plain;
  ControlEvents::of(&plain);
  QTest::keyClick(&plain, Qt::Key_B);
  QTest::mouseDClick(&plain, Qt::LeftButton);
  QTest::mouseRelease(&plain, Qt::LeftButton);
  QCOMPARE(plain.text(), QStringLiteral("b"));
}

// A conversion error raised in a key handler ends that event: the edit does
// not get the key, the error box shows the message with its full stop, and
// the next key is handled as usual.
void EventsTest::handlerExceptionReachesErrorBox() {
  DialogScript script;
  QLineEdit edit;
  ControlEvents::of(&edit)->onKeyDown = [](QObject *, quint16 &key, TShiftState) {
    if (key == vk::Return)
      strToInt(QStringLiteral("2019O831"));
  };
  QTest::keyClick(&edit, Qt::Key_Return);
  QTest::keyClick(&edit, Qt::Key_A);
  QCOMPARE(script.shown.size(), 1);
  QCOMPARE(script.shown.at(0).kind, dialogs::Kind::Error);
  QCOMPARE(script.shown.at(0).text, QStringLiteral("'2019O831' is not a valid integer value."));
  QCOMPARE(script.shown.at(0).caption, kTitle);
  QCOMPARE(edit.text(), QStringLiteral("a"));
}

void EventsTest::tags() {
  QObject button;
  QCOMPARE(tagOf(&button), 0);
  setTag(&button, 1);
  QCOMPARE(tagOf(&button), 1);
  setTag(&button, tagOf(&button) + 1);
  QCOMPARE(tagOf(&button), 2);
  setTag(&button, 0);
  QCOMPARE(tagOf(&button), 0);
}

KG_TEST_MAIN(EventsTest)
#include "tst_events.moc"
