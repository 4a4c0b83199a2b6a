#include "app/application.h"

#include "core/convert.h"
#include "core/datetime.h"
#include "form/unit2.h"
#include "main/unit1.h"
#include "notice/unit4.h"
#include "platform/dialogs.h"
#include "platform/regional.h"
#include "printout/unit3.h"
#include "resources/banner.h"

#include <QFont>
#include <QFontDatabase>
#include <QIcon>

const char *const kApplicationTitle = "澄岭区2022年城区公办幼儿园小班招生网络填报系统";

// The layouts' resources live in the client library; register them.
static void registerResources() { Q_INIT_RESOURCE(resources); }

namespace {
// Faces the layouts name, with the installed faces that stand in for them.
void substituteFonts() {
  const QStringList hei = {QStringLiteral("SimHei"), QStringLiteral("WenQuanYi Zen Hei"),
                           QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Droid Sans Fallback")};
  const QStringList song = {QStringLiteral("SimSun"), QStringLiteral("WenQuanYi Zen Hei Sharp"),
                            QStringLiteral("AR PL UMing CN"), QStringLiteral("WenQuanYi Zen Hei")};
  const QStringList sans = {QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Liberation Sans"),
                            QStringLiteral("DejaVu Sans"), QStringLiteral("WenQuanYi Zen Hei")};
  const QStringList times = {QStringLiteral("Liberation Serif"), QStringLiteral("DejaVu Serif"),
                             QStringLiteral("Nimbus Roman"), QStringLiteral("WenQuanYi Zen Hei")};
  QFont::insertSubstitutions(QStringLiteral("黑体"), hei);
  QFont::insertSubstitutions(QStringLiteral("宋体"), song);
  QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"), sans);
  QFont::insertSubstitutions(QStringLiteral("Times New Roman"), times);
}
} // namespace

TApplication::TApplication(int &argc, char **argv) : QApplication(argc, argv) {
  registerResources();
  setApplicationName(QStringLiteral("kgfiling"));
  // Every window carries the program's icon; the menu entry names this desktop file.
  setWindowIcon(QIcon(QStringLiteral(":/kgfiling.png")));
  setDesktopFileName(QStringLiteral("kgfiling"));
  // The title captions the main window, the plain message boxes and the
  // error box. (It is not set as Qt's display name, which X11 would append
  // to every window's caption.)
  dialogs::setCaption(QString::fromUtf8(kApplicationTitle));
  dialogs::followActiveWindow();
  substituteFonts();
  QFont face(QStringLiteral("MS Sans Serif"));
  face.setPixelSize(11);
  setFont(face);
}

void TApplication::showException(const std::exception *error) { dialogs::escaped(error); }

bool TApplication::notify(QObject *receiver, QEvent *event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception &error) {
    showException(&error);
  } catch (...) {
    showException(nullptr);
  }
  return true;
}

int runClient(TApplication &app) {
  banner::decodeAhead();
  try {
    // The user's regional formats, read once; the conversions of dates and
    // texts use them for the whole run.
    RegionalKey::ensureUserProfile();
    datetime::setCurrent(RegionalKey::readFormats());
    Form1 = new TForm1(StoreLocation::client());
    Form2 = new TForm2();
    Form3 = new TForm3();
    Form4 = new TForm4();
    // The main window's closing ends the loop at once. (quit() would first
    // ask every window to close, and the notice refuses to be closed but
    // through its buttons.)
    QObject::connect(
        Form1, &TForm1::closed, &app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    Form1->showMaximized();
    app.exec();
  } catch (const std::exception &error) {
    TApplication::showException(&error);
  } catch (...) {
    TApplication::showException(nullptr);
  }
  destroyWindows();
  return 0;
}

void destroyWindows() {
  delete Form4;
  delete Form3;
  delete Form2;
  delete Form1;
  Form1 = nullptr;
  Form2 = nullptr;
  Form3 = nullptr;
  Form4 = nullptr;
}
