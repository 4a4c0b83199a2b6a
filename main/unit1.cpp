#include "main/unit1.h"

#include "core/convert.h"
#include "core/gbk.h"
#include "filing/steps.h"
#include "form/unit2.h"
#include "notice/unit4.h"
#include "platform/clipboard.h"
#include "platform/dialogs.h"
#include "platform/look.h"
#include "platform/regional.h"
#include "platform/textinput.h"
#include "platform/windowframe.h"
#include "resources/banner.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QHeaderView>
#include <QHelpEvent>
#include <QScreen>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QToolTip>

TForm1 *Form1 = nullptr;

namespace {

const char kClientVersion[] = "202206181";

// The youngest child that may apply was born on 2019-08-31.
constexpr int kAgeCutOff = 20190831;

QString filingNotice() {
  QFile file(QStringLiteral(":/notice.txt"));
  file.open(QIODevice::ReadOnly);
  return QString::fromUtf8(file.readAll());
}

// The outer size of a window, frame included. A maximised window that the
// window system has not resized yet already fills its screen.
QSize outerSize(const QWidget *window) {
  QSize size = window->frameGeometry().size();
  if (window->isMaximized() && window->screen())
    size = size.expandedTo(window->screen()->availableGeometry().size());
  return size;
}

// Places a window centred by its outer size over the main window's outer
// size, in screen coordinates (the main window's own position is not added),
// each half rounded toward zero. The frame the window manager will draw is
// known before the window is first shown, so it is placed once.
void placeOver(QWidget *window, const QWidget *main) {
  const QSize outer = outerSize(main);
  const QSize size = window->size().grownBy(windowframe::of(window));
  windowframe::placeOuter(window, QPoint((outer.width() - size.width()) / 2, (outer.height() - size.height()) / 2));
}

// Holds a hidden edit's font change back until the edit is shown. An edit
// lays its text out again with a new font at once, which makes the font
// database match and load the face; the identity-number box is hidden
// until the notice is accepted, and its face is needed by nothing before.
class FontWhenShown : public QObject {
public:
  using QObject::QObject;
  bool eventFilter(QObject *watched, QEvent *event) override {
    auto *edit = static_cast<QWidget *>(watched);
    if (event->type() == QEvent::FontChange && !edit->isVisible()) {
      m_pending = true;
      return true;
    }
    if (event->type() == QEvent::Show && m_pending) {
      m_pending = false;
      QEvent change(QEvent::FontChange);
      QCoreApplication::sendEvent(edit, &change);
    }
    return false;
  }

private:
  bool m_pending = false;
};

// A cell cut short by its column's width shows its whole value as a tooltip.
class CutCellTips : public QStyledItemDelegate {
public:
  using QStyledItemDelegate::QStyledItemDelegate;
  bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                 const QModelIndex &index) override {
    if (event->type() != QEvent::ToolTip || !index.isValid())
      return QStyledItemDelegate::helpEvent(event, view, option, index);
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    const QStyle *style = view->style();
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
    const int room = style->subElementRect(QStyle::SE_ItemViewItemText, &cell, view).width() - 2 * margin;
    if (cell.fontMetrics.horizontalAdvance(cell.text) > room) {
      QToolTip::showText(event->globalPos(), cell.text, view->viewport(), option.rect);
    } else {
      QToolTip::hideText();
    }
    return true;
  }
};

} // namespace

TForm1::TForm1(const StoreLocation &store, QWidget *parent) : QWidget(parent) {
  ADOTab = new QueryObject(QStringLiteral("ADOTab"), 10, store, this);
  DataSource1 = ADOTab->model();
  BDOTab = new QueryObject(QStringLiteral("BDOTab"), 30, store, this);
  setupUi(this);
  setObjectName(QStringLiteral("Form1"));
  sfzEdit->installEventFilter(new FontWhenShown(sfzEdit));

  setFont(face("MS Sans Serif", 11));
  Label1->setFont(face("黑体", 16));
  paint(Label1, Qt::red, {QPalette::WindowText});
  sfzEdit->setFont(face("Times New Roman", 21));
  paint(sfzEdit, Qt::red, {QPalette::Text});
  textinput::limit(sfzEdit, 18);
  clipboard::shutSideDoors(sfzEdit);
  for (QPushButton *button : {BitBtn1, BitBtn2, BitBtn3, BitBtn4})
    button->setFont(face("黑体", 16));
  paint(BitBtn2, QColor(Qt::magenta), {QPalette::ButtonText});
  paint(BitBtn1, Qt::blue, {QPalette::ButtonText});
  paint(BitBtn3, Qt::red, {QPalette::ButtonText});
  paint(BitBtn4, Qt::red, {QPalette::ButtonText});
  Label2->setFont(face("黑体", 24, true));
  paint(Label2, Qt::red, {QPalette::WindowText});

  DBGrid1->setFont(face("MS Sans Serif", 13));
  DBGrid1->horizontalHeader()->setFont(face("MS Sans Serif", 11));
  DBGrid1->horizontalHeader()->setMinimumSectionSize(1); // bound to DataSource1 by bindGrid
  // The display widths are the columns' first widths: the guardian can widen
  // a column by dragging its header, and a cut cell shows its whole value.
  DBGrid1->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  DBGrid1->setItemDelegate(new CutCellTips(DBGrid1));

  connect(BitBtn1, &QPushButton::clicked, this, [this] { guarded([this] { BitBtn1Click(BitBtn1); }); });
  connect(BitBtn2, &QPushButton::clicked, this, [this] { guarded([this] { BitBtn2Click(BitBtn2); }); });
  connect(BitBtn4, &QPushButton::clicked, this, [this] { guarded([this] { BitBtn4Click(BitBtn4); }); });
  ControlEvents *box = ControlEvents::of(sfzEdit);
  box->onKeyDown = [this](QObject *sender, quint16 &key, TShiftState shift) { sfzEditKeyDown(sender, key, shift); };
  box->onMouseDown = [this](QObject *sender, TMouseButton button, TShiftState shift, int x, int y) {
    sfzEditMouseDown(sender, button, shift, x, y);
  };
  box->onClick = [this](QObject *sender) { sfzEditClick(sender); };
  box->onDblClick = [this](QObject *sender) { sfzEditDblClick(sender); };

  regionalFile = RegionalKey::defaultFile();
  // Last: the program entry has the picture decoded meanwhile, ahead.
  Image1->setPicture(QPixmap::fromImage(banner::image()));
  serverDate = 0;
}

bool TForm1::event(QEvent *event) {
  bool handled = QWidget::event(event);
  if (event->type() == QEvent::Show && !m_shown) {
    // The main window activates itself when it is first shown, so that the
    // gate runs also where no window manager hands the focus to a new window.
    m_shown = true;
    activateWindow();
  }
  if (event->type() == QEvent::WindowActivate && !m_inGate) {
    // The gate's own message boxes give the activation back when they close;
    // that is no new activation.
    m_inGate = true;
    try {
      FormActivate(this);
    } catch (...) {
      m_inGate = false;
      throw;
    }
    m_inGate = false;
  }
  if (event->type() == QEvent::Close && event->isAccepted())
    emit closed();
  return handled;
}

void TForm1::FormActivate(QObject *) {
  if (Tag != 0)
    return;
  try {
    // Stage A: the regional formats the date texts rely on.
    try {
      RegionalKey key(regionalFile);
      key.open();
      const QString dateSeparator = key.readString(QStringLiteral("sDate"));
      const QString shortDate = key.readString(QStringLiteral("sShortDate"));
      const QString longTime = key.readString(QStringLiteral("sTimeFormat"));
      if (dateSeparator == QLatin1String("-") && shortDate == QLatin1String("yyyy-MM-dd") &&
          longTime == QLatin1String("HH:mm:ss")) {
        key.close();
      } else {
        key.writeString(QStringLiteral("sDate"), QStringLiteral("-"));
        key.writeString(QStringLiteral("sShortDate"), QStringLiteral("yyyy-MM-dd"));
        key.writeString(QStringLiteral("sTime"), QStringLiteral(":"));
        key.writeString(QStringLiteral("sShortTime"), QStringLiteral("HH:mm"));
        key.writeString(QStringLiteral("sTimeFormat"), QStringLiteral("HH:mm:ss"));
        key.writeString(QStringLiteral("iTime"), QStringLiteral("1"));
        key.writeString(QStringLiteral("iTimePrefix"), QStringLiteral("0"));
        key.writeString(QStringLiteral("iTLZero"), QStringLiteral("0"));
        key.writeString(QStringLiteral("sLongDate"), QStringLiteral("yyyy'年'M'月'd'日'"));
        key.close();
        close();
        return;
      }
    } catch (...) {
      dialogs::message(QStringLiteral("请以管理身份重新运行该程序"));
      close();
      return;
    }

    // Stage B: the store's version, the filing switch and the server's date.
    filing::selectSwitch(*ADOTab);
    if (ADOTab->fieldAsString(QStringLiteral("幼儿园版本")) != QLatin1String(kClientVersion)) {
      dialogs::message(QStringLiteral("警告!\r\r    澄岭区2022年城区独立建制公办幼儿园小班招生网络填报系统已升级,"
                                      "请到【澄岭区政府网】上重新下载后再填报."));
      close();
      return;
    }
    if (!ADOTab->fieldAsBoolean(QStringLiteral("幼儿园填报"))) {
      dialogs::message(
          QStringLiteral("警告!\r\r    澄岭区2022年城区公办幼儿园小班招生的网络填报还没有开通,不能进行填报."
                         "\r\n请于2022年6月20日上午10:00-6月21日下午6:00登录系统进行填报."));
      close();
      return;
    }
    filing::selectServerTime(*ADOTab);
    const QVariant now = ADOTab->fieldValue(QStringLiteral("日期"));
    const QString nowText = datetime::dateTimeToStr(datetime::fromQDateTime(now.toDateTime()));
    ADOTab->close();
    serverDate = datetime::strToDateTime(nowText);
    serverDate = datetime::strToDate(datetime::dateToStr(serverDate));

    Form4->setWindowFlag(Qt::WindowStaysOnTopHint, true);
    placeOver(Form4, this);
    Form4->show();
    Form4->RichEdit1->setPlainText(dialogs::displayText(filingNotice()));
    ++Tag;
  } catch (...) {
    dialogs::message(QStringLiteral("网络问题,请重新登录"));
    close();
  }
}

void TForm1::BitBtn4Click(QObject *) {
  ADOTab->close();
  close();
}

void TForm1::BitBtn1Click(QObject *Sender) {
  sfzEdit->setText(gbk::trim(sfzEdit->text()));
  setTag(BitBtn2, 0);
  if (gbk::byteLength(sfzEdit->text()) != 18) {
    Panel2->hide();
    dialogs::message(QStringLiteral("请输入18位有效身份证号"));
    return;
  }
  ADOTab->disableControls();
  try {
    filing::lookup(*ADOTab, sfzEdit->text());
    AdjustGridColumns();
    if (ADOTab->rowCount() == 0) {
      Panel2->hide();
      DBGrid1->hide();
      if (Sender && Sender->objectName() == QLatin1String("BitBtn1"))
        dialogs::message(QStringLiteral("对不起!\r\r    你还没有进行信息填报,请进行[申请填报]操作再进行"));
    } else {
      const QString kindergarten = ADOTab->fieldAsString(QStringLiteral("申请幼儿园名称"));
      dialogs::message(QStringLiteral("该儿童已在[") + kindergarten + QStringLiteral("][") +
                       ADOTab->fieldAsString(QStringLiteral("部别")) + QStringLiteral("]成功申请."));
      Panel2->show();
      Label2->setText(filing::appointmentNotice(ADOTab->fieldAsString(QStringLiteral("申请幼儿园名称"))));
      if (DBGrid1->model() != DataSource1)
        bindGrid(); // its columns follow when the lookup's result is handed over below
      DBGrid1->show();
      setTag(BitBtn2, 1);
    }
  } catch (...) {
    ADOTab->enableControls();
    dialogs::message(QStringLiteral("网络问题,操作失败"));
    return;
  }
  ADOTab->enableControls();
}

// The grid is bound to DataSource1 when the lookup first shows it: bound
// while hidden, it would measure its header texts (and load their fonts) at
// every statement of the start-up gate.
void TForm1::bindGrid() {
  DBGrid1->setModel(DataSource1);
  // The grid turns each column's display width in characters into a width
  // on the screen: that many digits of its cell font, measured as one text
  // (a digit's advance is fractional), and the cell's margins (after the
  // grid has taken the new columns itself).
  connect(DataSource1, &QAbstractItemModel::modelReset, this, [this] {
    const int margins = 2 * (DBGrid1->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, DBGrid1) + 1) + 2;
    for (int column = 0; column < DataSource1->columnCount(); ++column) {
      int characters = DataSource1->headerData(column, Qt::Horizontal, ResultModel::DisplayWidthRole).toInt();
      if (characters > 0)
        DBGrid1->setColumnWidth(
            column, DBGrid1->fontMetrics().horizontalAdvance(QString(characters, QLatin1Char('0'))) + margins);
    }
  });
}

void TForm1::AdjustGridColumns() {
  for (const QString &column : ADOTab->columnNames()) {
    if (column == QStringLiteral("姓名"))
      ADOTab->setDisplayWidth(column, 8);
    else if (column == QStringLiteral("身份证号"))
      ADOTab->setDisplayWidth(column, 18);
    else
      ADOTab->setDisplayWidth(column, gbk::byteLength(column));
  }
}

void TForm1::sfzEditKeyDown(QObject *Sender, quint16 &Key, TShiftState Shift) {
  if (clipboard::guardsKey(Key, Shift))
    clipboard::empty();
  if (Key == vk::Return && !sfzEdit->text().isEmpty())
    BitBtn2Click(Sender);
}

void TForm1::sfzEditMouseDown(QObject *, TMouseButton Button, TShiftState, int, int) {
  if (Button == TMouseButton::mbRight)
    clipboard::empty();
}

void TForm1::sfzEditClick(QObject *) { sfzEdit->selectAll(); }

void TForm1::sfzEditDblClick(QObject *) { sfzEdit->clear(); }

void TForm1::BitBtn2Click(QObject *Sender) {
  BitBtn1Click(Sender);
  if (tagOf(BitBtn2) == 1) {
    dialogs::message(QStringLiteral("该儿童已填报了申请表,不能重复填报"));
    return;
  }
  if (gbk::byteLength(sfzEdit->text()) != 18)
    return; // the lookup has shown the length message
  if (strToInt(gbk::bytesAt(sfzEdit->text(), 7, 8)) > kAgeCutOff) {
    dialogs::message(QStringLiteral("对不起，该儿童还没到幼儿入学年龄，不能进行申报"));
    sfzEdit->clear();
    return;
  }
  const TDateTime firstDay = datetime::strToDate(QStringLiteral("2022-06-20"));
  const TDateTime lastDay = datetime::strToDate(QStringLiteral("2022-06-21"));
  if (serverDate > lastDay) {
    dialogs::message(QStringLiteral("不在网络申报时间[2022-06-20至2022-06-21]内,不能填报"));
    return;
  }
  if (serverDate < firstDay)
    dialogs::message(
        QStringLiteral("不在网络申报时间[2022-06-20至2022-06-21]内,申报无效,如果你填报了只能作为练习使用"));

  Form2->sfzEdit->setText(sfzEdit->text());
  for (QLineEdit *edit : {Form2->xmEdit, Form2->fzxmEdit, Form2->xxdzEdit, Form2->fqxmEdit, Form2->fqdhEdit,
                          Form2->mqxmEdit, Form2->mqdhEdit})
    edit->clear();
  Form2->xzjdComSelect(Sender);
  placeOver(Form2, this);
  Form2->show();
  // To the front, restored: a window manager may have minimised the form.
  Form2->setWindowState(Form2->windowState() & ~Qt::WindowMinimized);
  Form2->raise();
  Form2->activateWindow();
}
