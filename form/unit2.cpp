#include "form/unit2.h"

#include "core/gbk.h"
#include "filing/catchment.h"
#include "filing/steps.h"
#include "main/unit1.h"
#include "platform/clipboard.h"
#include "platform/dialogs.h"
#include "platform/look.h"
#include "platform/textinput.h"

#include <QStyle>
#include <QStyleOptionComboBox>

#include <stdexcept>

TForm2 *Form2 = nullptr;

namespace {

// Text colour of an input: edits and pickers draw with Text, a closed
// drop-down list with ButtonText, its open list with Text.
void paintInput(QWidget *input, const QColor &colour) {
  paint(input, colour, {QPalette::Text, QPalette::ButtonText, QPalette::WindowText});
}

// Width a drop-down list needs to show the text in full.
int comboWidthFor(QComboBox *combo, const QString &text) {
  QStyleOptionComboBox option;
  option.initFrom(combo);
  option.editable = false;
  const QSize contents(combo->fontMetrics().horizontalAdvance(text), combo->fontMetrics().height());
  return combo->style()->sizeFromContents(QStyle::CT_ComboBox, &option, contents, combo).width();
}

void refill(QComboBox *combo, const QStringList &items) {
  combo->clear();
  combo->addItems(items);
  combo->setCurrentIndex(0);
}

// 组数 of the current row as a number; null (or no row) is no count at all.
double groupCount(const QVariant &value) {
  if (value.isNull())
    throw std::runtime_error("组数 is null");
  bool ok = false;
  const double count = value.toDouble(&ok);
  if (!ok)
    throw std::runtime_error("组数 is not a number");
  if (count > catchment::kMaxGroups)
    throw std::runtime_error("组数 is out of range");
  return count;
}

} // namespace

TForm2::TForm2(QWidget *parent) : QWidget(parent) {
  setupUi(this);
  setObjectName(QStringLiteral("Form2"));
  // Topmost, with a title bar but no system menu and no caption buttons: the
  // guardian leaves the form through its own buttons.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint);
  setFixedSize(922, 432);
  setFont(face("MS Sans Serif", 11));

  Label17->setFont(face("黑体", 19, true));
  paint(Label17, Qt::blue, {QPalette::WindowText});
  for (QLabel *caption : {Label22, Label23, Label24, Label25}) {
    caption->setFont(face("黑体", 16));
    paint(caption, Qt::red, {QPalette::WindowText});
  }
  for (QLabel *note : {Label20, Label21}) {
    note->setFont(face("黑体", 12));
    paint(note, Qt::red, {QPalette::WindowText});
  }
  for (QLabel *line : {Label33, Label34}) {
    line->setFont(face("黑体", 19, true));
    paint(line, Qt::red, {QPalette::WindowText});
  }
  for (QPushButton *button : {qdBit, BitBtn1}) {
    button->setFont(face("黑体", 16));
    paint(button, Qt::red, {QPalette::ButtonText});
  }
  for (QWidget *input :
       std::initializer_list<QWidget *>{qxCom, xzjdCom, csqCom, zCom, DateTimePicker1, fzxmEdit, gxCom, xxdzEdit})
    paintInput(input, Qt::red);
  for (QComboBox *combo : {yrymcCom, bbCom}) {
    combo->setFont(face("宋体", 12));
    paintInput(combo, Qt::red);
  }

  // The identity number comes from the main window; here it is only shown.
  sfzEdit->setEnabled(false);
  Label1->setEnabled(false);
  sfzEdit->setFocusPolicy(Qt::NoFocus);

  // Byte limits (GBK); no edit takes a character GBK cannot encode or a
  // control character.
  const std::pair<QLineEdit *, int> limits[] = {{sfzEdit, 18},  {xmEdit, 12},   {fzxmEdit, 12}, {xxdzEdit, 50},
                                                {fqxmEdit, 12}, {fqdhEdit, 11}, {mqxmEdit, 12}, {mqdhEdit, 11}};
  for (const auto &[edit, bytes] : limits)
    textinput::limit(edit, bytes);

  // No list has a selection at start; the three filled lists are empty.
  for (QComboBox *combo : {xbCom, qxCom, xzjdCom, csqCom, zCom, gxCom, yrymcCom, bbCom}) {
    combo->setEditable(false);
    combo->setCurrentIndex(-1);
  }
  csqCom->clear();
  zCom->clear();
  yrymcCom->clear();

  // The kindergarten list shows the longest name of any catchment in full.
  int needed = yrymcCom->width();
  for (const QString &name : catchment::allKindergartens())
    needed = qMax(needed, comboWidthFor(yrymcCom, name));
  yrymcCom->resize(needed, yrymcCom->height());

  // The pickers change their date only: each keeps the time of day it starts
  // with (birth date 16:56:39, household registration 12:05:40).
  for (QDateTimeEdit *picker : {DateTimePicker2, DateTimePicker1}) {
    const QTime kept = picker->time();
    connect(picker, &QDateTimeEdit::dateTimeChanged, picker, [picker, kept](const QDateTime &value) {
      if (value.time() != kept)
        picker->setTime(kept);
    });
    clipboard::refusePastedText(picker);
  }

  // Clipboard guard of the seven free-text edits.
  for (QLineEdit *edit : {xmEdit, fzxmEdit, xxdzEdit, fqxmEdit, fqdhEdit, mqxmEdit, mqdhEdit}) {
    clipboard::shutSideDoors(edit);
    ControlEvents *hook = ControlEvents::of(edit);
    hook->onKeyDown = [this](QObject *sender, quint16 &key, TShiftState shift) { xmEditKeyDown(sender, key, shift); };
    hook->onMouseDown = [this](QObject *sender, TMouseButton button, TShiftState shift, int x, int y) {
      xmEditMouseDown(sender, button, shift, x, y);
    };
  }

  // A list's selection event is the guardian's choice only (mouse, or keys on
  // the closed list); setting the index from code raises none.
  connect(xzjdCom, &QComboBox::activated, this, [this] { guarded([this] { xzjdComSelect(xzjdCom); }); });
  connect(csqCom, &QComboBox::activated, this, [this] { guarded([this] { csqComSelect(csqCom); }); });
  connect(qdBit, &QPushButton::clicked, this, [this] { guarded([this] { qdBitClick(qdBit); }); });
  connect(BitBtn1, &QPushButton::clicked, this, [this] { guarded([this] { BitBtn1Click(BitBtn1); }); });
}

void TForm2::xmEditKeyDown(QObject *, quint16 &Key, TShiftState Shift) {
  if (clipboard::guardsKey(Key, Shift))
    clipboard::empty();
}

void TForm2::xmEditMouseDown(QObject *, TMouseButton Button, TShiftState, int, int) {
  if (Button == TMouseButton::mbRight)
    clipboard::empty();
}

void TForm2::BitBtn1Click(QObject *) { close(); }

void TForm2::xzjdComSelect(QObject *Sender) {
  // Each street is tested on the text as it stands after the one before.
  for (const catchment::Street &street : catchment::streets()) {
    if (xzjdCom->currentText() == QString::fromUtf8(street.name)) {
      refill(csqCom, catchment::communities(xzjdCom->currentText()));
      csqComSelect(Sender);
    }
  }
}

void TForm2::csqComSelect(QObject *) {
  const QString community = csqCom->currentText();
  for (const catchment::Rule &rule : catchment::rules()) {
    if (catchment::matches(rule, community, xzjdCom->currentText())) {
      QStringList kindergartens;
      for (const char *name : rule.kindergartens)
        kindergartens.append(QString::fromUtf8(name));
      refill(yrymcCom, kindergartens);
    }
  }

  try {
    QueryObject *query = Form1->BDOTab;
    filing::countGroups(*query, community);
    zCom->clear();
    if (catchment::isUngrouped(community)) {
      zCom->addItem(catchment::noGroups());
    } else {
      for (int n = 1; n <= groupCount(query->fieldValue(QStringLiteral("组数"))); ++n)
        zCom->addItem(catchment::groupName(n));
    }
    zCom->setCurrentIndex(0);
  } catch (...) {
    dialogs::message(QStringLiteral("网络问题,操作失败"));
  }
}
