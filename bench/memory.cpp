// Memory: the client's peak resident memory with the application form open
// and a found application in the grid. The program runs the client's own
// windows offscreen, as a guardian would use them: the notice accepted, one
// application filed through the form, a refusal for a full kindergarten, a
// second form opened and, while it stays open, the first child looked up in
// the main window. Then it reads VmHWM. On the way it checks that the
// statements the windows issued are the ones the rush benchmark issues.
//
//   kgbench_memory [--store sqlite:<file> | postgres://...]   (default: a new SQLite store)

#include "app/application.h"
#include "benchlib.h"
#include "core/datetime.h"
#include "form/unit2.h"
#include "main/unit1.h"
#include "notice/unit4.h"
#include "platform/dialogs.h"
#include "platform/regional.h"
#include "printout/unit3.h"
#include "store/schema.h"

#include "filing/steps.h"
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

namespace {

QStringList shown;

void waitFor(const std::function<bool()> &condition, int timeoutMs = 10000) {
  QElapsedTimer timer;
  timer.start();
  while (!condition() && timer.elapsed() < timeoutMs)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

void settle() {
  // Lets every window paint what it shows.
  for (int i = 0; i < 5; ++i)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

void choose(QComboBox *list, const QString &item) {
  const int index = list->findText(item);
  if (index < 0)
    throw StoreError(QStringLiteral("no item %1 in %2").arg(item, list->objectName()));
  list->setCurrentIndex(index);
}

void setDate(QDateTimeEdit *picker, QDate date) {
  picker->setFocus();
  picker->setDate(date);
}

// The form filled as a guardian would, for a child of bench::application().
void fill(const QString &number, const QString &kindergarten) {
  const QVariantMap values = bench::application(number, kindergarten);
  Form2->xmEdit->setText(values.value(QStringLiteral("姓名")).toString());
  choose(Form2->xbCom, values.value(QStringLiteral("性别")).toString());
  setDate(Form2->DateTimePicker2, QDate::fromString(values.value(QStringLiteral("出生日期")).toString(), Qt::ISODate));
  choose(Form2->qxCom, values.value(QStringLiteral("区县")).toString());
  choose(Form2->xzjdCom, values.value(QStringLiteral("镇乡或街道")).toString());
  Form2->xzjdComSelect(Form2->xzjdCom);
  choose(Form2->csqCom, values.value(QStringLiteral("村或社区")).toString());
  Form2->csqComSelect(Form2->csqCom);
  choose(Form2->yrymcCom, kindergarten);
  setDate(Form2->DateTimePicker1, QDate::fromString(values.value(QStringLiteral("入户日期")).toString(), Qt::ISODate));
  Form2->fzxmEdit->setText(values.value(QStringLiteral("户主姓名")).toString());
  choose(Form2->gxCom, values.value(QStringLiteral("户主与儿童关系")).toString());
  Form2->xxdzEdit->setText(values.value(QStringLiteral("户口簿详细地址")).toString());
  choose(Form2->bbCom, values.value(QStringLiteral("部别")).toString());
  Form2->fqxmEdit->setText(values.value(QStringLiteral("监护人一姓名")).toString());
  Form2->fqdhEdit->setText(values.value(QStringLiteral("监护人一电话")).toString());
  Form2->mqxmEdit->setText(values.value(QStringLiteral("监护人二姓名")).toString());
  Form2->mqdhEdit->setText(values.value(QStringLiteral("监护人二电话")).toString());
}

void startApplication(const QString &number) {
  Form1->sfzEdit->setText(number);
  Form1->BitBtn2->click();
  settle();
  if (!Form2->isVisible())
    throw StoreError(QStringLiteral("the form did not open for %1: %2").arg(number, shown.join(QLatin1String(" | "))));
}

int run(const QString &storeUrl) {
  QTemporaryDir scratch(QDir::tempPath() + QStringLiteral("/kgbench-memory-XXXXXX"));
  std::unique_ptr<bench::Store> made;
  QString url = storeUrl;
  if (url.isEmpty()) {
    made = std::make_unique<bench::Store>(bench::sqliteStore(scratch.path()));
    url = made->location().setting();
  } else if (url.startsWith(QLatin1String("server:"))) {
    made = std::make_unique<bench::Store>(bench::postgresStore(url.mid(7)));
    url = made->location().setting();
  }
  const QString label =
      url.startsWith(QLatin1String("sqlite:")) ? QStringLiteral("memory SQLite") : QStringLiteral("memory PostgreSQL");
  // A kindergarten already full, for the refusal.
  const QString full = QStringLiteral("实验幼儿园物流园区");
  const QString open = QStringLiteral("实验幼儿园和平园区");
  if (made) {
    StoreBackend &connection = made->connection();
    const QStringList columns = bench::application(bench::identity(0), full).keys();
    QStringList marks;
    for (int i = 0; i < columns.size(); ++i)
      marks << QStringLiteral("?");
    const QString insert = QStringLiteral("insert into lz_yjxxk (%1) values (%2)")
                               .arg(columns.join(QLatin1Char(',')), marks.join(QLatin1Char(',')));
    connection.beginTransaction();
    for (int i = 0; i < 44; ++i) {
      const QVariantMap values = bench::application(bench::identity(500000 + i), full);
      QVariantList bound;
      for (const QString &column : columns) {
        const QVariant value = values.value(column);
        bound << (value.typeId() == QMetaType::QDateTime
                      ? QVariant(value.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
                      : value);
      }
      try {
        connection.run(insert, bound);
      } catch (const StoreError &error) {
        throw StoreError(QStringLiteral("cannot fill %1: %2").arg(full, error.message()));
      }
    }
    connection.commitTransaction();
    made->setClock(QDateTime(QDate(2022, 6, 20), QTime(10, 15, 30)));
  }

  const QString regional = scratch.filePath(QStringLiteral("International.ini"));
  QFile key(regional);
  key.open(QIODevice::WriteOnly);
  key.write("sDate=-\nsShortDate=yyyy-MM-dd\nsTimeFormat=HH:mm:ss\n");
  key.close();
  dialogs::setResponder([](const dialogs::Shown &box) {
    shown << box.text;
    return box.kind == dialogs::Kind::YesNo ? dialogs::Answer::Yes : dialogs::Answer::Ok;
  });

  // The program entry's steps (runClient), on this store.
  datetime::setCurrent(RegionalKey::readFormats(regional));
  Form1 = new TForm1(StoreLocation::parse(url));
  Form1->regionalFile = regional;
  Form2 = new TForm2();
  Form3 = new TForm3();
  Form4 = new TForm4();
  Form1->showMaximized();
  waitFor([] { return Form4->isVisible(); });
  if (!Form4->isVisible())
    throw StoreError(QStringLiteral("the notice was not shown: %1").arg(shown.join(QLatin1String(" | "))));
  settle();
  const long atNotice = bench::peakResidentKiB();
  Form4->BitBtn1->click();
  settle();

  // One application filed through the form.
  const QString first = bench::identity(1);
  startApplication(first);
  fill(first, open);
  shown.clear();
  Form2->qdBit->click();
  settle();
  const bool filed = !Form2->isVisible() && Form1->ADOTab->rowCount() == 1 && Form1->DBGrid1->isVisible();
  const bool lookupSame = Form1->ADOTab->sql().head == filing::kLookupHead;
  const bool duplicateSame = Form1->BDOTab->sql().head == filing::kDuplicateHead;

  // A full kindergarten: refused after the quota count.
  const QString second = bench::identity(2);
  startApplication(second);
  fill(second, full);
  shown.clear();
  Form2->qdBit->click();
  settle();
  const bool refused = Form2->isVisible() && shown.value(0).startsWith(QStringLiteral("对不起![") + full);
  const bool quotaSame = Form1->BDOTab->sql().head == filing::kQuotaHead;
  Form2->csqComSelect(Form2->csqCom);
  const bool groupSame = Form1->BDOTab->sql().head == filing::kGroupCountHead;

  // The form stays open for the second child; the first one is looked up.
  Form1->sfzEdit->setText(first);
  shown.clear();
  Form1->BitBtn1->click();
  settle();
  const bool found = Form2->isVisible() && Form1->DBGrid1->isVisible() && Form1->DataSource1->rowCount() == 1 &&
                     shown.value(0).startsWith(QStringLiteral("该儿童已在[") + open);
  Form1->DBGrid1->viewport()->repaint();
  Form2->repaint();
  settle();
  const long peak = bench::peakResidentKiB();
  const long now = bench::residentKiB();
  std::fprintf(stderr,
               "%s: VmHWM %ld KiB at the notice, %ld KiB at the end (VmRSS %ld KiB); filed %d refused %d "
               "found %d\n",
               qPrintable(label), atNotice, peak, now, filed, refused, found);

  const bool walked = filed && refused && found;
  bench::row(label, QStringLiteral("peak resident, form open + application in the grid (MiB)"),
             bench::number(peak / 1024.0), QStringLiteral("< 80"), bench::verdict(walked && peak < 80 * 1024));
  bench::row(label, QStringLiteral("  peak resident at the notice (MiB)"), bench::number(atNotice / 1024.0));
  bench::row(label, QStringLiteral("windows walked: filed, refused full, found with the form open"),
             walked ? QStringLiteral("yes") : QStringLiteral("no"), QStringLiteral("yes"), bench::verdict(walked));
  const bool same = lookupSame && duplicateSame && quotaSame && groupSame;
  bench::row(label, QStringLiteral("the rush's statement heads are the windows' own"),
             same ? QStringLiteral("yes") : QStringLiteral("no"), QStringLiteral("yes"), bench::verdict(same));

  dialogs::clearResponder();
  destroyWindows();
  return walked && same ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[]) {
  bench::useOffscreenScreen();
  TApplication app(argc, argv);
  QCommandLineParser options;
  options.setApplicationDescription(QStringLiteral("Peak memory of the client with the form and a found application."));
  options.addHelpOption();
  options.addOptions({{QStringLiteral("store"),
                       QStringLiteral("an existing store (sqlite:<file>, postgres://...), or server:<postgres url> "
                                      "for a new database there; default a new SQLite store"),
                       QStringLiteral("store")}});
  options.process(app);
  try {
    return run(options.value(QStringLiteral("store")));
  } catch (const std::exception &error) {
    std::fprintf(stderr, "kgbench_memory: %s\n", error.what());
    return 1;
  }
}
