// The identity number's checks as the guardian meets them: any text typed
// into the main window's box, 申请填报, and the form's submission checks with
// any sex and any birth and registration dates, through the real windows on
// an embedded store (offscreen, the message boxes answered by a script, the
// first confirmation answered No so that nothing is stored).
//
// Checked, besides running without a crash or a sanitizer report: the checks
// accept a filing (the first confirmation is asked) exactly when the form's
// written rules do:
// - the box, trimmed of bytes up to 0x20 at both ends, holds 18 GBK bytes;
// - bytes 7 to 14 are decimal digits naming a real date, the birth date, not
//   after 2019-08-31, and the birth-date picker shows that date;
// - byte 17 is a decimal digit, odd for 男 and even for 女, as chosen;
// - the household registration lies from the birth date to 2022-06-20.

#include "core/gbk.h"
#include "fixture/applicationform.h"
#include "fixture/clientwindows.h"
#include "fixture/teststore.h"
#include "form/unit2.h"
#include "fuzz_common.h"
#include "main/unit1.h"

namespace {

struct Client {
  Client() : store(TestStore::sqlite()) {
    store->setClock(QDateTime(QDate(2022, 6, 20), QTime(10, 15, 30)));
    working = std::make_unique<WorkingClient>(store->location());
  }
  std::unique_ptr<TestStore> store;
  std::unique_ptr<WorkingClient> working;
};

Client *g_client = nullptr;

bool digits(const QByteArray &bytes) {
  for (char c : bytes)
    if (c < '0' || c > '9')
      return false;
  return !bytes.isEmpty();
}

// The written rules for the number alone: its birth date when it passes them.
QDate numberAccepted(const QString &typed, QString *sex) {
  qsizetype first = 0, last = typed.size();
  while (first < last && typed.at(first).unicode() <= 0x20)
    ++first;
  while (last > first && typed.at(last - 1).unicode() <= 0x20)
    --last;
  bool ok = false;
  const QByteArray number = gbk::encode(typed.mid(first, last - first), &ok);
  if (!ok || number.size() != 18)
    return QDate();
  const QByteArray birth = number.mid(6, 8);
  const QByteArray sexDigit = number.mid(16, 1);
  if (!digits(birth) || !digits(sexDigit))
    return QDate();
  const QDate born(birth.left(4).toInt(), birth.mid(4, 2).toInt(), birth.right(2).toInt());
  if (!born.isValid() || born > QDate(2019, 8, 31))
    return QDate();
  *sex = sexDigit.toInt() % 2 == 1 ? QStringLiteral("男") : QStringLiteral("女");
  return born;
}

// The written rules for the number and the form as the guardian left them.
bool rulesAccept(const QString &typed, const QString &sex, const QDate &birthPicker, const QDate &registered) {
  QString expectedSex;
  const QDate born = numberAccepted(typed, &expectedSex);
  return born.isValid() && born == birthPicker && sex == expectedSex && registered >= born &&
         registered <= QDate(2022, 6, 20);
}

// The date that bytes 7 to 14 of a text name, when they do.
QDate namedDate(const QString &text) {
  const QByteArray bytes = gbk::encode(gbk::trim(text));
  const QByteArray birth = bytes.mid(6, 8);
  if (!digits(birth) || birth.size() != 8)
    return QDate();
  return QDate(birth.left(4).toInt(), birth.mid(4, 2).toInt(), birth.right(2).toInt());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
  fuzz::initialize(argc, argv, true);
  g_client = new Client; // lives as long as the run
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  const bool male = input.ConsumeBool();
  const bool birthAsNamed = input.ConsumeBool();
  const int birthOffset = input.ConsumeIntegralInRange(-3000, 3000); // days from 2019-03-05
  const int registeredOffset = input.ConsumeIntegralInRange(-3, 1300);
  const QString text = QString::fromUtf8(fuzz::bytes(input, 40));
  DialogScript &boxes = g_client->working->boxes;

  // The guardian types the text (the box's own rule keeps what it takes) and
  // presses 申请填报.
  Form2->hide();
  boxes.clear();
  boxes.answers = {dialogs::Answer::No};
  Form1->sfzEdit->clear();
  Form1->sfzEdit->insert(text);
  const QString typed = Form1->sfzEdit->text();
  try {
    Form1->BitBtn2Click(Form1->BitBtn2);
  } catch (const std::exception &) {
    // The error box of a conversion: the start ends there.
  }
  bool accepted = false;
  QString sex = male ? QStringLiteral("男") : QStringLiteral("女");
  QDate birthPicker, registered;
  if (Form2->isVisible()) {
    fillApplication();
    choose(Form2->xbCom, sex);
    const QDate named = namedDate(typed);
    Form2->DateTimePicker2->setDate(birthAsNamed && named.isValid() ? named : QDate(2019, 3, 5).addDays(birthOffset));
    birthPicker = Form2->DateTimePicker2->date();
    Form2->DateTimePicker1->setDate(birthPicker.addDays(registeredOffset));
    registered = Form2->DateTimePicker1->date();
    boxes.clear();
    try {
      Form2->qdBitClick(Form2->qdBit);
    } catch (const std::exception &) {
    }
    for (const dialogs::Shown &box : boxes.shown)
      accepted = accepted || box.kind == dialogs::Kind::YesNo;
  }
  QString expectedSex;
  if (!Form2->isVisible())
    FUZZ_CHECK(!numberAccepted(typed, &expectedSex).isValid(),
               "the start opens the form for a number the rules accept");
  const bool rules = Form2->isVisible() && rulesAccept(typed, sex, birthPicker, registered);
  FUZZ_CHECK(!accepted || rules, "the checks never accept what the written rules refuse");
  FUZZ_CHECK(accepted || !rules, "the checks accept what the written rules accept");
  return 0;
}
