// The clipboard guard of the identity-number box and of the seven guarded
// edits of the application form, through the real windows and their own
// handlers: every key and mouse case on every guarded edit, as one table.
// Each case starts with "12" in the edit (the caret at its end) and "345" on
// the clipboard.

#include "fixture/clientwindows.h"
#include "fixture/testmain.h"
#include "fixture/teststore.h"

#include "form/unit2.h"
#include "main/unit1.h"

#include <QClipboard>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QMenu>

namespace {

QClipboard *board() { return QGuiApplication::clipboard(); }

// Records the clipboard's text at the moment an edit's context menu is asked
// for: the menu is built from what the clipboard holds then.
class ContextMenuProbe : public QObject {
public:
  bool seen = false;
  QString clipboardText;

protected:
  bool eventFilter(QObject *, QEvent *event) override {
    if (event->type() == QEvent::ContextMenu) {
      seen = true;
      clipboardText = board()->text();
    }
    return false;
  }
};

void closePopups() {
  while (QWidget *popup = QApplication::activePopupWidget())
    popup->close();
}

// The guarded edits: the main window's box, then the form's seven.
const char *const kEdits[] = {"sfzEdit",  "xmEdit",   "fzxmEdit", "xxdzEdit",
                              "fqxmEdit", "fqdhEdit", "mqxmEdit", "mqdhEdit"};

} // namespace

class ClipboardGuardTest : public QObject {
  Q_OBJECT

  std::unique_ptr<TestStore> m_store;
  std::unique_ptr<WorkingClient> m_client;

  static QLineEdit *guarded(const QString &name) {
    return name == QLatin1String("sfzEdit") ? Form1->sfzEdit : Form2->findChild<QLineEdit *>(name);
  }

private slots:
  void initTestCase() {
    m_store = TestStore::sqlite();
    m_client = std::make_unique<WorkingClient>(m_store->location());
    Form2->show();
    QVERIFY(QTest::qWaitForWindowExposed(Form2));
  }
  void cleanupTestCase() {
    m_client.reset();
    m_store.reset();
  }
  void cleanup() {
    closePopups();
    QCOMPARE(m_client->boxes.texts(), QStringList());
  }

  void guard_data() {
    QTest::addColumn<QString>("edit");
    // key: a key click (key, modifiers); char: the same with the key's text
    // taken from the character given as key; selected: the edit's text selected
    // first; typed: a character carried by a key without a key code; commit:
    // an input method's commit; right, left, middle: a button pressed and
    // released through the window, as the platform delivers it.
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("textAfter"); // null: left to the toolkit
    QTest::addColumn<QString>("clipboardAfter");

    const int none = Qt::NoModifier, ctrl = Qt::ControlModifier, shift = Qt::ShiftModifier, alt = Qt::AltModifier;
    struct Case {
      const char *name;
      const char *how;
      int key;
      int modifiers;
      QString textAfter;
      QString clipboardAfter;
    };
    const Case cases[] = {
        {"Ctrl+V pastes nothing", "key", Qt::Key_V, ctrl, "12", ""},
        {"Ctrl with another key (Ctrl+A)", "key", Qt::Key_A, ctrl, "12", ""},
        {"Ctrl+Home", "key", Qt::Key_Home, ctrl, "12", ""},
        {"Ctrl+Shift+Left", "key", Qt::Key_Left, ctrl | shift, "12", ""},
        {"Ctrl+C copies onto the emptied clipboard", "selected", Qt::Key_C, ctrl, "12", "12"},
        {"Ctrl+X cuts onto the emptied clipboard", "selected", Qt::Key_X, ctrl, "", "12"},
        {"V types its letter", "key", Qt::Key_V, none, "12v", ""},
        {"Shift+V types its letter", "char", 'V', shift, "12V", ""},
        {"Alt+V", "key", Qt::Key_V, alt, QString(), ""},
        {"code 229: a Chinese character typed", "typed", 0, none, "12张", ""},
        {"code 229: an input method's commit", "commit", 0, none, "12澄岭", ""},
        {"Shift+Insert pastes", "key", Qt::Key_Insert, shift, "12345", "345"},
        {"a digit", "key", Qt::Key_7, none, "127", "345"},
        {"a letter", "key", Qt::Key_B, none, "12b", "345"},
        {"Left", "key", Qt::Key_Left, none, "12", "345"},
        {"right button: emptied before its menu, Paste greyed", "right", 0, none, "12", ""},
        {"left button", "left", 0, none, "12", "345"},
        {"middle button", "middle", 0, none, QString(), "345"},
    };
    for (const char *edit : kEdits)
      for (const Case &c : cases)
        QTest::newRow(qPrintable(QStringLiteral("%1: %2").arg(QLatin1String(edit), QString::fromUtf8(c.name))))
            << QString::fromLatin1(edit) << QString::fromLatin1(c.how) << c.key << c.modifiers << c.textAfter
            << c.clipboardAfter;
  }
  void guard() {
    QFETCH(QString, edit);
    QFETCH(QString, how);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, textAfter);
    QFETCH(QString, clipboardAfter);
    QLineEdit *input = guarded(edit);
    QVERIFY(input);
    QVERIFY(input->isVisible());
    input->setText(QStringLiteral("12"));
    input->setFocus();
    input->end(false);
    if (how == QLatin1String("selected"))
      input->selectAll();
    board()->setText(QStringLiteral("345"));

    if (how == QLatin1String("key") || how == QLatin1String("selected")) {
      QTest::keyClick(input, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    } else if (how == QLatin1String("char")) {
      QTest::keyClick(input, char(key), Qt::KeyboardModifiers(modifiers));
    } else if (how == QLatin1String("typed")) {
      QTest::sendKeyEvent(QTest::Click, input, Qt::Key_unknown, QStringLiteral("张"), Qt::NoModifier);
    } else if (how == QLatin1String("commit")) {
      QInputMethodEvent commit;
      commit.setCommitString(QStringLiteral("澄岭"));
      QApplication::sendEvent(input, &commit);
    } else {
      const Qt::MouseButton button = how == QLatin1String("right")  ? Qt::RightButton
                                     : how == QLatin1String("left") ? Qt::LeftButton
                                                                    : Qt::MiddleButton;
      ContextMenuProbe probe;
      input->installEventFilter(&probe);
      // Through the window, so that the right button also asks for the
      // context menu, which must find the clipboard already empty.
      QWidget *window = input->window();
      QTest::mouseClick(window->windowHandle(), button, Qt::NoModifier, input->mapTo(window, QPoint(5, 5)));
      input->removeEventFilter(&probe);
      if (button == Qt::RightButton) {
        QVERIFY2(probe.seen, "no context menu was asked for");
        QCOMPARE(probe.clipboardText, QString());
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        QVERIFY2(menu, "no context menu opened");
        QAction *paste = nullptr;
        for (QAction *action : menu->actions())
          if (action->text().startsWith(QLatin1String("&Paste")))
            paste = action;
        QVERIFY(paste);
        QVERIFY(!paste->isEnabled());
      }
      closePopups();
    }
    if (!textAfter.isNull())
      QCOMPARE(input->text(), textAfter);
    QCOMPARE(board()->text(), clipboardAfter);
  }
};

KG_TEST_MAIN(ClipboardGuardTest)
#include "tst_clipboardguard.moc"
