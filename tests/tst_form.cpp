// The application form: window, sections, controls and their texts, byte
// limits, the pickers' fixed time of day and the return button. Driven
// through the real widgets. (The clipboard guard of the free-text edits is
// tested with the identity-number box's in tst_clipboardguard.)

#include "fixture/testmain.h"

#include "core/gbk.h"
#include "form/unit2.h"

#include <QAccessible>
#include <QClipboard>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionComboBox>

#include <memory>

namespace {

QClipboard *board() { return QGuiApplication::clipboard(); }

// Types text as the keyboard would: ASCII through key clicks, any other
// character as a key that carries that text.
void type(QWidget *widget, const QString &text) {
  for (QChar ch : text) {
    if (ch.unicode() < 0x80)
      QTest::keyClick(widget, ch.toLatin1());
    else
      QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(ch), Qt::NoModifier);
  }
}

// Types one character that may need two UTF-16 units (outside the BMP).
void typeCharacter(QWidget *widget, const QString &character) {
  QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, character, Qt::NoModifier);
}

QString repeated(const QString &unit, int times) {
  QString text;
  for (int i = 0; i < times; ++i)
    text += unit;
  return text;
}

QString accessibleName(QWidget *widget) {
  QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(widget);
  return iface ? iface->text(QAccessible::Name) : QString();
}

QStringList items(QComboBox *combo) {
  QStringList list;
  for (int i = 0; i < combo->count(); ++i)
    list.append(combo->itemText(i));
  return list;
}

void closePopups() {
  while (QWidget *popup = QApplication::activePopupWidget())
    popup->close();
}

} // namespace

class FormTest : public QObject {
  Q_OBJECT

  std::unique_ptr<TForm2> form;

  QLineEdit *edit(const char *name) { return form->findChild<QLineEdit *>(QString::fromUtf8(name)); }
  QWidget *control(const char *name) { return form->findChild<QWidget *>(QString::fromUtf8(name)); }
  void showForm() {
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
  }

private slots:
  void init() {
    form = std::make_unique<TForm2>();
    Form2 = form.get();
    board()->clear();
  }
  void cleanup() {
    closePopups();
    Form2 = nullptr;
    form.reset();
  }

  void window() {
    QVERIFY(!form->isVisible());
    QCOMPARE(form->windowTitle(), QStringLiteral("幼儿信息填报框"));
    QCOMPARE(form->size(), QSize(922, 432));
    QCOMPARE(form->minimumSize(), QSize(922, 432));
    QCOMPARE(form->maximumSize(), QSize(922, 432));
    const Qt::WindowFlags flags = form->windowFlags();
    QVERIFY(flags & Qt::WindowStaysOnTopHint);
    QVERIFY(flags & Qt::CustomizeWindowHint);
    QVERIFY(flags & Qt::WindowTitleHint);
    QVERIFY(!(flags & Qt::WindowSystemMenuHint));
    QVERIFY(!(flags & Qt::WindowMinMaxButtonsHint));
    QVERIFY(!(flags & Qt::WindowCloseButtonHint));
    QCOMPARE(form->font().family(), QStringLiteral("MS Sans Serif"));
    QCOMPARE(form->font().pixelSize(), 11);
  }

  void panels_data() {
    QTest::addColumn<QString>("panel");
    QTest::addColumn<int>("top");
    QTest::addColumn<int>("height");
    QTest::addColumn<QString>("caption");
    QTest::newRow("title band") << "Panel5" << 0 << 45 << "";
    QTest::newRow("基本信息") << "Panel1" << 45 << 41 << "基本信息";
    QTest::newRow("户籍信息") << "Panel2" << 86 << 75 << "户籍信息";
    QTest::newRow("幼儿园信息") << "Panel3" << 161 << 48 << "幼儿园信息";
    QTest::newRow("监护信息") << "Panel4" << 209 << 48 << "监护信息";
  }
  void panels() {
    QFETCH(QString, panel);
    QFETCH(int, top);
    QFETCH(int, height);
    QFETCH(QString, caption);
    QWidget *widget = form->findChild<QWidget *>(panel);
    QVERIFY(widget);
    QCOMPARE(widget->parentWidget(), form.get());
    QCOMPARE(widget->geometry(), QRect(0, top, 922, height));
    if (caption.isEmpty())
      return;
    // The section's caption: at the left edge, centred in a box, red 黑体 16 px.
    QLabel *label = nullptr;
    for (QLabel *candidate : widget->findChildren<QLabel *>())
      if (candidate->text() == caption)
        label = candidate;
    QVERIFY(label);
    QVERIFY(label->x() < 10);
    QCOMPARE(label->alignment(), Qt::AlignCenter);
    QCOMPARE(label->frameShape(), QFrame::Box);
    QCOMPARE(label->font().family(), QStringLiteral("黑体"));
    QCOMPARE(label->font().pixelSize(), 16);
    QCOMPARE(label->palette().color(QPalette::WindowText), QColor(Qt::red));
    QCOMPARE(widget->accessibleName(), caption);
  }

  void fields_data() {
    QTest::addColumn<QString>("panel");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("row");
    QTest::newRow("sfzEdit") << "Panel1"
                             << "sfzEdit"
                             << "身份证号" << 0;
    QTest::newRow("xmEdit") << "Panel1"
                            << "xmEdit"
                            << "姓名" << 0;
    QTest::newRow("xbCom") << "Panel1"
                           << "xbCom"
                           << "性别" << 0;
    QTest::newRow("DateTimePicker2") << "Panel1"
                                     << "DateTimePicker2"
                                     << "出生日期" << 0;
    QTest::newRow("qxCom") << "Panel2"
                           << "qxCom"
                           << "区县" << 0;
    QTest::newRow("xzjdCom") << "Panel2"
                             << "xzjdCom"
                             << "乡镇或街道" << 0;
    QTest::newRow("csqCom") << "Panel2"
                            << "csqCom"
                            << "村或社区" << 0;
    QTest::newRow("zCom") << "Panel2"
                          << "zCom"
                          << "组" << 0;
    QTest::newRow("DateTimePicker1") << "Panel2"
                                     << "DateTimePicker1"
                                     << "上户时间" << 0;
    QTest::newRow("fzxmEdit") << "Panel2"
                              << "fzxmEdit"
                              << "户主姓名" << 1;
    QTest::newRow("gxCom") << "Panel2"
                           << "gxCom"
                           << "户主与儿童关系" << 1;
    QTest::newRow("xxdzEdit") << "Panel2"
                              << "xxdzEdit"
                              << "户口簿详细地址" << 1;
    QTest::newRow("yrymcCom") << "Panel3"
                              << "yrymcCom"
                              << "申请幼儿园名称" << 0;
    QTest::newRow("bbCom") << "Panel3"
                           << "bbCom"
                           << "年级" << 0;
    QTest::newRow("fqxmEdit") << "Panel4"
                              << "fqxmEdit"
                              << "监护人一姓名" << 0;
    QTest::newRow("fqdhEdit") << "Panel4"
                              << "fqdhEdit"
                              << "监护人一电话" << 0;
    QTest::newRow("mqxmEdit") << "Panel4"
                              << "mqxmEdit"
                              << "监护人二姓名" << 0;
    QTest::newRow("mqdhEdit") << "Panel4"
                              << "mqdhEdit"
                              << "监护人二电话" << 0;
  }
  // Each field: its caption label in front of it, in its section and row,
  // named to assistive technology through the caption.
  void fields() {
    QFETCH(QString, panel);
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(int, row);
    QWidget *input = form->findChild<QWidget *>(name);
    QVERIFY(input);
    QCOMPARE(input->parentWidget()->objectName(), panel);
    QLabel *label = nullptr;
    for (QLabel *candidate : form->findChildren<QLabel *>())
      if (candidate->buddy() == input)
        label = candidate;
    QVERIFY2(label, "caption label with the control as buddy");
    QCOMPARE(label->text(), caption);
    QCOMPARE(label->parentWidget(), input->parentWidget());
    QVERIFY(label->geometry().right() < input->x());
    QVERIFY(label->geometry().center().y() - 2 <= input->geometry().center().y() &&
            input->geometry().center().y() <= label->geometry().center().y() + 2);
    QCOMPARE(accessibleName(input), caption);
    // Captions: the default font, black.
    QCOMPARE(label->font().family(), QStringLiteral("MS Sans Serif"));
    if (label->isEnabled())
      QCOMPARE(label->palette().color(QPalette::WindowText), QColor(Qt::black));
    // Two rows only in 户籍信息: the second below the first.
    const int rowHeight = input->parentWidget()->height() / (panel == QLatin1String("Panel2") ? 2 : 1);
    QCOMPARE(input->geometry().center().y() / rowHeight, row);
  }

  // Left to right within each row, in the order of the table.
  void fieldOrder_data() {
    QTest::addColumn<QStringList>("names");
    QTest::newRow("基本信息") << QStringList{"sfzEdit", "xmEdit", "xbCom", "DateTimePicker2", "Label20"};
    QTest::newRow("户籍信息 1") << QStringList{"qxCom", "xzjdCom", "csqCom", "zCom", "DateTimePicker1"};
    QTest::newRow("户籍信息 2") << QStringList{"fzxmEdit", "gxCom", "xxdzEdit"};
    QTest::newRow("幼儿园信息") << QStringList{"yrymcCom", "bbCom"};
    QTest::newRow("监护信息") << QStringList{"fqxmEdit", "fqdhEdit", "mqxmEdit", "mqdhEdit", "Label21"};
  }
  void fieldOrder() {
    QFETCH(QStringList, names);
    for (int i = 1; i < names.size(); ++i) {
      QWidget *left = form->findChild<QWidget *>(names[i - 1]);
      QWidget *right = form->findChild<QWidget *>(names[i]);
      QVERIFY(left && right);
      QVERIFY2(left->geometry().right() < right->x(), qPrintable(names[i - 1] + " before " + names[i]));
    }
  }

  void texts_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("family");
    QTest::addColumn<int>("pixels");
    QTest::addColumn<bool>("bold");
    QTest::addColumn<QColor>("colour");
    QTest::newRow("Label17") << "Label17"
                             << "澄岭区2022年城区独立建制公办幼儿园小班招生信息填报框"
                             << "黑体" << 19 << true << QColor(Qt::blue);
    QTest::newRow("Label20") << "Label20"
                             << "(如出生日期与身份证号上的日期不一致,则无法提交)"
                             << "黑体" << 12 << false << QColor(Qt::red);
    QTest::newRow("Label21") << "Label21"
                             << "(至少填一个监护人信息)"
                             << "黑体" << 12 << false << QColor(Qt::red);
    QTest::newRow("Label33") << "Label33"
                             << "请于6月25日、26日上午9:30-11：30下午14:30-16:00到申请的幼儿园验审要件  要件如下："
                             << "黑体" << 19 << true << QColor(Qt::red);
    QTest::newRow("Label34") << "Label34"
                             << "    户口簿、《儿童保健管理手册》、预防接种证、预防接种情况评价单原件及复印件。"
                             << "黑体" << 19 << true << QColor(Qt::red);
  }
  void texts() {
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(QString, family);
    QFETCH(int, pixels);
    QFETCH(bool, bold);
    QFETCH(QColor, colour);
    auto *label = form->findChild<QLabel *>(name);
    QVERIFY(label);
    QCOMPARE(label->text(), text);
    QCOMPARE(label->font().family(), family);
    QCOMPARE(label->font().pixelSize(), pixels);
    QCOMPARE(label->font().bold(), bold);
    QCOMPARE(label->palette().color(QPalette::WindowText), colour);
    QVERIFY(!label->wordWrap());
  }

  void instructionLines() {
    // Below the sections, one line each, across the form, in this order.
    QVERIFY(form->Label33->y() >= form->Panel4->geometry().bottom());
    QVERIFY(form->Label34->y() > form->Label33->geometry().bottom());
    QVERIFY(form->qdBit->y() > form->Label34->geometry().bottom());
  }

  void buttons_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::newRow("qdBit") << "qdBit"
                           << " 提交申报表";
    QTest::newRow("BitBtn1") << "BitBtn1"
                             << "返回";
  }
  void buttons() {
    QFETCH(QString, name);
    QFETCH(QString, text);
    auto *button = form->findChild<QPushButton *>(name);
    QVERIFY(button);
    QCOMPARE(button->text(), text);
    QCOMPARE(button->size(), QSize(105, 34));
    QCOMPARE(button->font().family(), QStringLiteral("黑体"));
    QCOMPARE(button->font().pixelSize(), 16);
    QCOMPARE(button->palette().color(QPalette::ButtonText), QColor(Qt::red));
    QCOMPARE(accessibleName(button), text);
    QVERIFY(form->qdBit->x() < form->BitBtn1->x());
  }

  void lists_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("fixed");
    QTest::newRow("xbCom") << "xbCom" << QStringList{"男", "女"};
    QTest::newRow("qxCom") << "qxCom" << QStringList{"澄岭区"};
    QTest::newRow("xzjdCom") << "xzjdCom" << QStringList{"东澄街道", "西岭街道"};
    QTest::newRow("csqCom") << "csqCom" << QStringList{};
    QTest::newRow("zCom") << "zCom" << QStringList{};
    QTest::newRow("gxCom") << "gxCom" << QStringList{"父子", "母子", "其他"};
    QTest::newRow("yrymcCom") << "yrymcCom" << QStringList{};
    QTest::newRow("bbCom") << "bbCom" << QStringList{"小班"};
  }
  // Fixed items, nothing selected at start, nothing can be typed.
  void lists() {
    QFETCH(QString, name);
    QFETCH(QStringList, fixed);
    auto *combo = form->findChild<QComboBox *>(name);
    QVERIFY(combo);
    QCOMPARE(items(combo), fixed);
    QCOMPARE(combo->currentIndex(), -1);
    QCOMPARE(combo->currentText(), QString());
    QVERIFY(!combo->isEditable());
    QVERIFY(!combo->lineEdit());
  }

  void inputColours_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<QString>("family");
    QTest::addColumn<int>("pixels");
    for (const char *name : {"qxCom", "xzjdCom", "csqCom", "zCom", "DateTimePicker1", "fzxmEdit", "gxCom", "xxdzEdit"})
      QTest::newRow(name) << name << QColor(Qt::red) << "MS Sans Serif" << 11;
    QTest::newRow("yrymcCom") << "yrymcCom" << QColor(Qt::red) << "宋体" << 12;
    QTest::newRow("bbCom") << "bbCom" << QColor(Qt::red) << "宋体" << 12;
    for (const char *name : {"xmEdit", "xbCom", "DateTimePicker2", "fqxmEdit", "fqdhEdit", "mqxmEdit", "mqdhEdit"})
      QTest::newRow(name) << name << QColor(Qt::black) << "MS Sans Serif" << 11;
  }
  void inputColours() {
    QFETCH(QString, name);
    QFETCH(QColor, colour);
    QFETCH(QString, family);
    QFETCH(int, pixels);
    QWidget *input = form->findChild<QWidget *>(name);
    QVERIFY(input);
    // Edits and pickers draw with Text; a closed list with ButtonText.
    const QPalette::ColorRole role = qobject_cast<QComboBox *>(input) ? QPalette::ButtonText : QPalette::Text;
    QCOMPARE(input->palette().color(QPalette::Active, role), colour);
    QCOMPARE(input->font().family(), family);
    QCOMPARE(input->font().pixelSize(), pixels);
  }

  void tooltips() {
    QCOMPARE(form->xmEdit->toolTip(), QStringLiteral("与户口簿一致"));
    QCOMPARE(form->fzxmEdit->toolTip(), QStringLiteral("与户口簿一致"));
  }

  // Nothing is cut off: every label shows its text in full, every control
  // lies inside its section and the sections inside the window.
  void nothingClipped() {
    showForm();
    for (QLabel *label : form->findChildren<QLabel *>()) {
      const QSize needed = label->sizeHint();
      QVERIFY2(needed.width() <= label->width() && needed.height() <= label->height(),
               qPrintable(label->objectName() + " " + label->text() +
                          QString(" needs %1x%2, has %3x%4")
                              .arg(needed.width())
                              .arg(needed.height())
                              .arg(label->width())
                              .arg(label->height())));
    }
    for (QWidget *widget : form->findChildren<QWidget *>()) {
      if (!widget->isVisible() || widget->isWindow())
        continue;
      QVERIFY2(QRect(QPoint(0, 0), widget->parentWidget()->size()).contains(widget->geometry()),
               qPrintable(widget->objectName()));
    }
  }

  // Each edit shows its longest content without scrolling.
  void editsShowTheirLimit_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::newRow("身份证号") << "sfzEdit"
                              << "888888888888888888";
    const QString name = QStringLiteral("欧阳春花秋月");
    for (const char *edit : {"xmEdit", "fzxmEdit", "fqxmEdit", "mqxmEdit"})
      QTest::newRow(edit) << edit << name;
    QTest::newRow("Latin name") << "xmEdit"
                                << "Wangxiaoming";
    QTest::newRow("地址") << "xxdzEdit" << repeated(QStringLiteral("澄"), 25);
    QTest::newRow("电话一") << "fqdhEdit"
                            << "88888888888";
    QTest::newRow("电话二") << "mqdhEdit"
                            << "88888888888";
  }
  void editsShowTheirLimit() {
    QFETCH(QString, name);
    QFETCH(QString, text);
    auto *input = form->findChild<QLineEdit *>(name);
    QVERIFY(input);
    QStyleOptionFrame option;
    option.initFrom(input);
    const int frame = input->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, input);
    const QMargins margins = input->textMargins();
    const int available = input->width() - 2 * frame - 2 * 2 - margins.left() - margins.right();
    QVERIFY2(input->fontMetrics().horizontalAdvance(text) <= available, qPrintable(name));
  }

  void kindergartenListWideEnough() {
    QComboBox *combo = form->yrymcCom;
    QStyleOptionComboBox option;
    option.initFrom(combo);
    const QRect field =
        combo->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo);
    const QStringList names = {"实验幼儿园和平园区", "实验幼儿园解放东路园区", "实验幼儿园东城园区",
                               "实验幼儿园物流园区", "实验幼儿园万福园区",     "西岭幼儿园本部",
                               "西岭幼儿园松柏园区", "西岭幼儿园福安园区",     "西岭幼儿园颂雅园区",
                               "西岭幼儿园回龙园区", "明湖幼儿园天悦园区",     "明湖幼儿园西岭雅苑园区"};
    for (const QString &name : names)
      QVERIFY2(combo->fontMetrics().horizontalAdvance(name) <= field.width(), qPrintable(name));
  }

  void pickers_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QDateTime>("initial");
    QTest::newRow("出生日期") << "DateTimePicker2" << QDateTime(QDate(2022, 6, 20), QTime(16, 56, 39));
    QTest::newRow("上户时间") << "DateTimePicker1" << QDateTime(QDate(2022, 6, 21), QTime(12, 5, 40));
  }
  void pickers() {
    QFETCH(QString, name);
    QFETCH(QDateTime, initial);
    auto *picker = form->findChild<QDateTimeEdit *>(name);
    QVERIFY(picker);
    QCOMPARE(picker->dateTime(), initial);
    QVERIFY(picker->calendarPopup());
    QCOMPARE(picker->displayFormat(), QStringLiteral("yyyy-MM-dd"));
    QCOMPARE(picker->text(), initial.date().toString(QStringLiteral("yyyy-MM-dd")));
    // The date picked from the calendar: only the date changes.
    picker->setDate(QDate(2019, 3, 1));
    QCOMPARE(picker->dateTime(), QDateTime(QDate(2019, 3, 1), initial.time()));
    // Any change of the time of day is undone.
    picker->setDateTime(QDateTime(QDate(2020, 2, 29), QTime(0, 0, 0)));
    QCOMPARE(picker->dateTime(), QDateTime(QDate(2020, 2, 29), initial.time()));
    picker->setTime(QTime(23, 59, 59));
    QCOMPARE(picker->dateTime(), QDateTime(QDate(2020, 2, 29), initial.time()));
  }

  // The date typed field by field with the keyboard: 2019-03-01 16:56:39.
  void pickerKeyboard() {
    showForm();
    QDateTimeEdit *picker = form->DateTimePicker2;
    picker->setFocus();
    picker->setSelectedSection(QDateTimeEdit::YearSection);
    QTest::keyClicks(picker, "2019");
    picker->setSelectedSection(QDateTimeEdit::MonthSection);
    QTest::keyClicks(picker, "03");
    picker->setSelectedSection(QDateTimeEdit::DaySection);
    QTest::keyClicks(picker, "01");
    QCOMPARE(picker->dateTime(), QDateTime(QDate(2019, 3, 1), QTime(16, 56, 39)));
    QCOMPARE(picker->text(), QStringLiteral("2019-03-01"));
    // Stepping the day with the arrow keys keeps the time as well.
    QTest::keyClick(picker, Qt::Key_Up);
    QCOMPARE(picker->dateTime(), QDateTime(QDate(2019, 3, 2), QTime(16, 56, 39)));
  }

  void identityNumberNotEditable() {
    showForm();
    QLineEdit *box = form->sfzEdit;
    QVERIFY(!box->isEnabled());
    QVERIFY(!form->Label1->isEnabled());
    QCOMPARE(box->focusPolicy(), Qt::NoFocus);
    box->setFocus();
    QVERIFY(!box->hasFocus());
    // Tabbing through the form never lands on it.
    form->xmEdit->setFocus();
    for (int i = 0; i < 30; ++i) {
      QVERIFY(QApplication::focusWidget() != box);
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    // The start fills it from code; typing reaches nothing.
    box->setText(QStringLiteral("110101201903015678"));
    QTest::keyClicks(form.get(), "12");
    QCOMPARE(box->text(), QStringLiteral("110101201903015678"));
    QCOMPARE(gbk::byteLength(box->text()), 18);
  }

  void byteLimits_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("kept");
    const QString six = QStringLiteral("欧阳春花秋月");
    QTest::newRow("姓名: 6 Chinese fit, the 7th is refused") << "xmEdit" << six + "冬" << six;
    QTest::newRow("姓名: 12 Latin letters fit") << "xmEdit"
                                                << "Abcdefghijkl"
                                                << "Abcdefghijkl";
    QTest::newRow("姓名: 13th Latin letter refused") << "xmEdit"
                                                     << "Abcdefghijklm"
                                                     << "Abcdefghijkl";
    QTest::newRow("姓名: 11 bytes, then a Chinese char refused") << "xmEdit"
                                                                 << "Abcdefghijk李"
                                                                 << "Abcdefghijk";
    QTest::newRow("户主姓名: 6 Chinese fit") << "fzxmEdit" << six + "冬" << six;
    QTest::newRow("监护人一姓名: 6 Chinese") << "fqxmEdit" << six + "冬" << six;
    QTest::newRow("监护人二姓名: 6 Chinese") << "mqxmEdit" << six + "冬" << six;
    const QString address = repeated(QStringLiteral("街"), 25);
    QTest::newRow("地址: 25 Chinese fit, the 26th is refused") << "xxdzEdit" << address + "道" << address;
    QTest::newRow("地址: 50 Latin fit") << "xxdzEdit" << repeated("a", 51) << repeated("a", 50);
    QTest::newRow("电话一: 11 digits, the 12th refused") << "fqdhEdit"
                                                         << "138001380001"
                                                         << "13800138000";
    QTest::newRow("电话一: letters accepted") << "fqdhEdit"
                                              << "abcdefghijkl"
                                              << "abcdefghijk";
    QTest::newRow("电话二: letters and digits") << "mqdhEdit"
                                                << "tel-0551-123"
                                                << "tel-0551-12";
    QTest::newRow("电话二: a Chinese char fits in 2 bytes") << "mqdhEdit"
                                                            << "123456789电话"
                                                            << "123456789电";
  }
  void byteLimits() {
    QFETCH(QString, name);
    QFETCH(QString, typed);
    QFETCH(QString, kept);
    showForm();
    QLineEdit *input = form->findChild<QLineEdit *>(name);
    QVERIFY(input);
    input->setFocus();
    type(input, typed);
    QCOMPARE(input->text(), kept);
  }

  // A character that GBK cannot encode is refused, whichever way it comes.
  void outsideGbkRefused_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("character");
    QTest::newRow("姓名, CJK extension B") << "xmEdit" << QString::fromUcs4(U"\U00020000");
    QTest::newRow("地址, 䶮") << "xxdzEdit" << QString::fromUcs4(U"\u4dae");
    QTest::newRow("电话, emoji") << "fqdhEdit" << QString::fromUcs4(U"\U0001F600");
  }
  void outsideGbkRefused() {
    QFETCH(QString, name);
    QFETCH(QString, character);
    showForm();
    QLineEdit *input = form->findChild<QLineEdit *>(name);
    input->setFocus();
    type(input, QStringLiteral("王"));
    typeCharacter(input, character);
    QCOMPARE(input->text(), QStringLiteral("王"));
    QInputMethodEvent commit;
    commit.setCommitString(character);
    QApplication::sendEvent(input, &commit);
    QCOMPARE(input->text(), QStringLiteral("王"));
  }

  // "返回" hides the form; everything entered stays.
  void returnKeepsEntries() {
    showForm();
    form->sfzEdit->setText(QStringLiteral("110101201903015678"));
    const std::pair<QLineEdit *, QString> entries[] = {
        {form->xmEdit, QStringLiteral("张三")},          {form->fzxmEdit, QStringLiteral("张大")},
        {form->xxdzEdit, QStringLiteral("解放东路1号")}, {form->fqxmEdit, QStringLiteral("张大")},
        {form->fqdhEdit, QStringLiteral("13800138000")}, {form->mqxmEdit, QStringLiteral("李二")},
        {form->mqdhEdit, QStringLiteral("13900139000")}};
    for (const auto &[input, text] : entries) {
      input->setFocus();
      type(input, text);
    }
    form->xbCom->setCurrentIndex(1);
    form->gxCom->setCurrentIndex(2);
    form->DateTimePicker2->setDate(QDate(2019, 5, 1));
    QTest::mouseClick(form->BitBtn1, Qt::LeftButton);
    QVERIFY(!form->isVisible());
    QCOMPARE(form->sfzEdit->text(), QStringLiteral("110101201903015678"));
    for (const auto &[input, text] : entries)
      QCOMPARE(input->text(), text);
    QCOMPARE(form->xbCom->currentText(), QStringLiteral("女"));
    QCOMPARE(form->gxCom->currentText(), QStringLiteral("其他"));
    QCOMPARE(form->DateTimePicker2->dateTime(), QDateTime(QDate(2019, 5, 1), QTime(16, 56, 39)));
    // Shown again, as the start shows it: the same entries.
    showForm();
    QCOMPARE(form->xmEdit->text(), QStringLiteral("张三"));
  }
};

KG_TEST_MAIN(FormTest)
#include "tst_form.moc"
