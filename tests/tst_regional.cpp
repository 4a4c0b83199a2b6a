// The current user's regional settings key as a settings file: opening without
// creating, reading, writing, refusing writes, the first profile and the
// formats read at start.

#include "fixture/testmain.h"

#include "platform/regional.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QProcess>
#include <QTemporaryDir>
#include <unistd.h>

namespace {

// Set in the environment of a child run of this suite that only writes a
// first profile under the locale it was started with.
const char kChildProfile[] = "KG_TEST_REGIONAL_CHILD_PROFILE";

const QString kHeader = QStringLiteral("[Control Panel\\International]\n");

void writeFile(const QString &path, const QByteArray &bytes) {
  QFile file(path);
  QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(file.errorString()));
  file.write(bytes);
}

QByteArray readFile(const QString &path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly))
    return {};
  return file.readAll();
}

// The names of the file's value lines, in order.
QStringList namesInFile(const QString &path) {
  QStringList names;
  for (const QByteArray &line : readFile(path).split('\n'))
    if (line.contains('=') && !line.startsWith('['))
      names.append(QString::fromUtf8(line.left(line.indexOf('='))));
  return names;
}

// Takes away the right to write the file, also from root (who ignores the
// permission bits): by the immutable attribute where the user is root.
bool makeUnwritable(const QString &path, QString *how) {
  if (geteuid() != 0) {
    *how = QStringLiteral("permission bits");
    return QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
  }
  *how = QStringLiteral("immutable attribute");
  return QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), path}) == 0;
}

void makeWritable(const QString &path) {
  if (geteuid() == 0)
    QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), path});
  QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
}

void expectWriteFails(RegionalKey &key, const QString &name) {
  try {
    key.writeString(name, QStringLiteral("-"));
    QFAIL("the write did not fail");
  } catch (const RegistryError &error) {
    QCOMPARE(QString::fromUtf8(error.what()), QStringLiteral("Failed to set data for '%1'").arg(name));
  }
}

} // namespace

class RegionalTest : public QObject {
  Q_OBJECT
private slots:
  void initTestCase();
  void init();
  void cleanup();

  void missingKey_data();
  void missingKey();
  void unwritableFileOpensForReadingOnly();
  void readingOnlyRefusesWrites();
  void readsValues();
  void writesKeepOrderAndSurviveReopening();
  void closedKeyReadsEmpty();
  void firstProfileFromSystemLocale();
  void firstProfilePerLocale_data();
  void firstProfilePerLocale();
  void firstProfileNeverOverwrites();
  void readFormats_data();
  void readFormats();
  void defaultFile();

private:
  QScopedPointer<QTemporaryDir> m_dir;
  QString m_unwritable;
  QString path(const QString &name = QStringLiteral("International.ini")) const { return m_dir->filePath(name); }
};

void RegionalTest::initTestCase() {
  const QString child = qEnvironmentVariable(kChildProfile);
  if (!child.isEmpty()) {
    RegionalKey::ensureUserProfile(child);
    std::exit(QFileInfo::exists(child) ? 0 : 1);
  }
}

void RegionalTest::init() {
  m_dir.reset(new QTemporaryDir);
  QVERIFY(m_dir->isValid());
}

void RegionalTest::cleanup() {
  if (!m_unwritable.isEmpty())
    makeWritable(m_unwritable);
  m_unwritable.clear();
  m_dir.reset();
}

void RegionalTest::missingKey_data() {
  QTest::addColumn<QString>("kind");
  QTest::newRow("no file") << "none";
  QTest::newRow("no folder") << "noFolder";
  QTest::newRow("a folder in its place") << "folder";
}

// A key that does not exist opens neither way, reads as empty, refuses the
// first write, and is not created by any of it.
void RegionalTest::missingKey() {
  QFETCH(QString, kind);
  QString file = path();
  if (kind == QLatin1String("noFolder"))
    file = path(QStringLiteral("kgfiling/International.ini"));
  if (kind == QLatin1String("folder"))
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("International.ini")));

  RegionalKey key(file);
  QVERIFY(!key.open(true));
  QCOMPARE(key.readString(QStringLiteral("sDate")), QString());
  expectWriteFails(key, QStringLiteral("sDate"));
  QVERIFY(!key.open(false));
  QCOMPARE(key.readString(QStringLiteral("sShortDate")), QString());
  expectWriteFails(key, QStringLiteral("sDate"));
  key.close();
  QCOMPARE(QFileInfo(file).isFile(), false);
  if (kind == QLatin1String("noFolder"))
    QVERIFY(!QFileInfo::exists(QFileInfo(file).absolutePath()));
}

// A file the user cannot write to opens for reading but not for writing, and
// keeps its text whatever is tried.
void RegionalTest::unwritableFileOpensForReadingOnly() {
  const QByteArray text = (kHeader + QStringLiteral("sDate=/\nsShortDate=M/d/yyyy\nsTimeFormat=h:mm:ss tt\n")).toUtf8();
  writeFile(path(), text);
  QString how;
  if (!makeUnwritable(path(), &how))
    QSKIP(qPrintable(QStringLiteral("cannot take the write right away from the file (tried the %1; on a file system "
                                    "without attributes run this as a user other than root)")
                         .arg(how)));
  m_unwritable = path();
  QVERIFY2(!QFileInfo(path()).isWritable(), qPrintable(how));

  RegionalKey key(path());
  QVERIFY(!key.open(true));
  QCOMPARE(key.readString(QStringLiteral("sDate")), QString());
  expectWriteFails(key, QStringLiteral("sDate"));

  QVERIFY(key.open(false));
  QCOMPARE(key.readString(QStringLiteral("sDate")), QStringLiteral("/"));
  QCOMPARE(key.readString(QStringLiteral("sTimeFormat")), QStringLiteral("h:mm:ss tt"));
  expectWriteFails(key, QStringLiteral("sDate"));
  key.close();
  QCOMPARE(readFile(path()), text);
}

// Opened for reading alone, even a writable key takes no value.
void RegionalTest::readingOnlyRefusesWrites() {
  const QByteArray text = (kHeader + QStringLiteral("sDate=/\n")).toUtf8();
  writeFile(path(), text);
  RegionalKey key(path());
  QVERIFY(key.open(false));
  expectWriteFails(key, QStringLiteral("sShortDate"));
  QCOMPARE(key.readString(QStringLiteral("sShortDate")), QString());
  key.close();
  QCOMPARE(readFile(path()), text);

  QVERIFY(key.open(true));
  key.writeString(QStringLiteral("sShortDate"), QStringLiteral("yyyy-MM-dd"));
  QCOMPARE(key.readString(QStringLiteral("sShortDate")), QStringLiteral("yyyy-MM-dd"));
}

// Values come back byte for byte: blanks, Chinese text, '=' inside a value,
// Windows line ends; missing values and comment lines read as nothing.
void RegionalTest::readsValues() {
  writeFile(path(), "[Control Panel\\International]\r\n"
                    "; the user's formats\r\n"
                    "sDate=-\r\n"
                    "sShortDate=yyyy-MM-dd \r\n"
                    "sLongDate=yyyy'\xe5\xb9\xb4'M'\xe6\x9c\x88'd'\xe6\x97\xa5'\r\n"
                    "sWeird=a=b\r\n"
                    "sEmpty=\r\n"
                    "=nameless\r\n"
                    "no equals sign\r\n"
                    "sTimeFormat=HH:mm:ss");
  RegionalKey key(path());
  QVERIFY(key.open(true));
  QCOMPARE(key.readString(QStringLiteral("sDate")), QStringLiteral("-"));
  QCOMPARE(key.readString(QStringLiteral("sShortDate")), QStringLiteral("yyyy-MM-dd "));
  QCOMPARE(key.readString(QStringLiteral("sLongDate")), QStringLiteral("yyyy'年'M'月'd'日'"));
  QCOMPARE(key.readString(QStringLiteral("sWeird")), QStringLiteral("a=b"));
  QCOMPARE(key.readString(QStringLiteral("sEmpty")), QString());
  QCOMPARE(key.readString(QStringLiteral("sTimeFormat")), QStringLiteral("HH:mm:ss"));
  QCOMPARE(key.readString(QStringLiteral("sTime")), QString());
  QCOMPARE(key.readString(QString()), QString());
}

// The gate's nine writes over a key holding other formats: values already
// there keep their place, new ones follow in the order written, and all of
// them are there when the key is opened again.
void RegionalTest::writesKeepOrderAndSurviveReopening() {
  writeFile(path(), (kHeader + QStringLiteral("iCountry=86\nsDate=/\nsShortDate=M/d/yyyy\nsTimeFormat=h:mm:ss tt\n"
                                              "sList=,\n"))
                        .toUtf8());
  const QList<QPair<QString, QString>> nine = {{"sDate", "-"},
                                               {"sShortDate", "yyyy-MM-dd"},
                                               {"sTime", ":"},
                                               {"sShortTime", "HH:mm"},
                                               {"sTimeFormat", "HH:mm:ss"},
                                               {"iTime", "1"},
                                               {"iTimePrefix", "0"},
                                               {"iTLZero", "0"},
                                               {"sLongDate", "yyyy'年'M'月'd'日'"}};
  {
    RegionalKey key(path());
    QVERIFY(key.open(true));
    for (const auto &[name, value] : nine) {
      key.writeString(name, value);
      QCOMPARE(key.readString(name), value);
    }
    key.close();
  }
  QCOMPARE(namesInFile(path()), QStringList({"iCountry", "sDate", "sShortDate", "sTimeFormat", "sList", "sTime",
                                             "sShortTime", "iTime", "iTimePrefix", "iTLZero", "sLongDate"}));
  RegionalKey again(path());
  QVERIFY(again.open(true));
  for (const auto &[name, value] : nine)
    QCOMPARE(again.readString(name), value);
  QCOMPARE(again.readString(QStringLiteral("iCountry")), QStringLiteral("86"));
  QCOMPARE(again.readString(QStringLiteral("sList")), QStringLiteral(","));

  // Written again, a value changes in place.
  again.writeString(QStringLiteral("sDate"), QStringLiteral("."));
  again.close();
  QCOMPARE(namesInFile(path()).indexOf(QStringLiteral("sDate")), 1);
  QVERIFY(again.open(false));
  QCOMPARE(again.readString(QStringLiteral("sDate")), QStringLiteral("."));
}

void RegionalTest::closedKeyReadsEmpty() {
  writeFile(path(), (kHeader + QStringLiteral("sDate=-\n")).toUtf8());
  RegionalKey key(path());
  QCOMPARE(key.readString(QStringLiteral("sDate")), QString()); // never opened
  expectWriteFails(key, QStringLiteral("sDate"));
  QVERIFY(key.open(true));
  QCOMPARE(key.readString(QStringLiteral("sDate")), QStringLiteral("-"));
  key.close();
  QCOMPARE(key.readString(QStringLiteral("sDate")), QString());
  expectWriteFails(key, QStringLiteral("sDate"));
  QCOMPARE(readFile(path()), (kHeader + QStringLiteral("sDate=-\n")).toUtf8());
}

// A new profile, made in a folder that does not exist yet, holds the three
// values the gate reads, from the system locale, and opens for writing.
void RegionalTest::firstProfileFromSystemLocale() {
  const QString file = path(QStringLiteral("config/kgfiling/International.ini"));
  RegionalKey::ensureUserProfile(file);
  QVERIFY(QFileInfo(file).isFile());
  RegionalKey key(file);
  QVERIFY(key.open(true));
  const QString shortDate = key.readString(QStringLiteral("sShortDate"));
  QCOMPARE(shortDate, QLocale::system().dateFormat(QLocale::ShortFormat));
  QVERIFY(!key.readString(QStringLiteral("sDate")).isEmpty());
  QVERIFY(shortDate.contains(key.readString(QStringLiteral("sDate"))));
  QVERIFY(!key.readString(QStringLiteral("sTimeFormat")).isEmpty());
}

// What a first start on a computer with the given locale finds in the key
// (the profile is written by a child run started under that locale). None of
// them is the client's, so the gate rewrites each.
void RegionalTest::firstProfilePerLocale_data() {
  QTest::addColumn<QString>("locale");
  QTest::addColumn<QString>("sDate");
  QTest::addColumn<QString>("sShortDate");
  QTest::addColumn<QString>("sTimeFormat");
  QTest::newRow("Chinese") << "zh_CN.UTF-8"
                           << "/"
                           << "yyyy/M/d"
                           << "HH:mm:ss";
  QTest::newRow("US English") << "en_US.UTF-8"
                              << "/"
                              << "M/d/yy"
                              << "h:mm:ss tt";
  QTest::newRow("German") << "de_DE.UTF-8"
                          << "."
                          << "dd.MM.yy"
                          << "HH:mm:ss";
  QTest::newRow("C") << "C"
                     << " "
                     << "d MMM yyyy"
                     << "HH:mm:ss";
}

void RegionalTest::firstProfilePerLocale() {
  QFETCH(QString, locale);
  QFETCH(QString, sDate);
  QFETCH(QString, sShortDate);
  QFETCH(QString, sTimeFormat);
  const QString file = path();
  QProcess child;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QString::fromLatin1(kChildProfile), file);
  env.insert(QStringLiteral("LC_ALL"), locale);
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  child.setProcessEnvironment(env);
  child.start(QCoreApplication::applicationFilePath(), {});
  QVERIFY(child.waitForFinished(60000));
  QCOMPARE(child.exitCode(), 0);

  RegionalKey key(file);
  QVERIFY(key.open(true));
  QCOMPARE(key.readString(QStringLiteral("sDate")), sDate);
  QCOMPARE(key.readString(QStringLiteral("sShortDate")), sShortDate);
  QCOMPARE(key.readString(QStringLiteral("sTimeFormat")), sTimeFormat);

  const datetime::Formats formats = RegionalKey::readFormats(file);
  QCOMPARE(formats.shortDate, sShortDate);
  QCOMPARE(formats.longTime, sTimeFormat);
  // The formats read from it work for the conversions.
  datetime::setCurrent(formats);
  const TDateTime value = datetime::fromQDateTime(QDateTime(QDate(2022, 6, 20), QTime(15, 5, 7)));
  const QString text = datetime::dateTimeToStr(value);
  const TDateTime back = datetime::strToDateTime(text);
  datetime::setCurrent(datetime::Formats());
  QCOMPARE(back, value);
}

void RegionalTest::firstProfileNeverOverwrites() {
  const QString file = path();
  RegionalKey::ensureUserProfile(file);
  const QByteArray first = readFile(file);
  QVERIFY(!first.isEmpty());

  // The gate's rewrite, then a later start: the key stays as the gate left it.
  {
    RegionalKey key(file);
    QVERIFY(key.open(true));
    key.writeString(QStringLiteral("sDate"), QStringLiteral("-"));
    key.writeString(QStringLiteral("sShortDate"), QStringLiteral("yyyy-MM-dd"));
    key.writeString(QStringLiteral("sTimeFormat"), QStringLiteral("HH:mm:ss"));
  }
  const QByteArray rewritten = readFile(file);
  RegionalKey::ensureUserProfile(file);
  QCOMPARE(readFile(file), rewritten);

  // Even an empty key is left alone.
  writeFile(file, QByteArray());
  RegionalKey::ensureUserProfile(file);
  QCOMPARE(readFile(file), QByteArray());

  // A folder where the file belongs is left as it is, and nothing is thrown.
  const QString folder = path(QStringLiteral("taken"));
  QVERIFY(QDir().mkpath(folder));
  RegionalKey::ensureUserProfile(folder);
  QVERIFY(QFileInfo(folder).isDir());
}

void RegionalTest::readFormats_data() {
  QTest::addColumn<QString>("content"); // null: no file
  QTest::addColumn<QString>("shortDate");
  QTest::addColumn<QString>("longTime");
  QTest::addColumn<QString>("dateSeparator");
  QTest::addColumn<QString>("timeSeparator");
  QTest::newRow("the client's formats") << "sDate=-\nsShortDate=yyyy-MM-dd\nsTimeFormat=HH:mm:ss\nsTime=:\n"
                                        << "yyyy-MM-dd"
                                        << "HH:mm:ss"
                                        << "-"
                                        << ":";
  QTest::newRow("US formats") << "sDate=/\nsShortDate=M/d/yyyy\nsTimeFormat=h:mm:ss tt\nsTime=.\n"
                              << "M/d/yyyy"
                              << "h:mm:ss tt"
                              << "/"
                              << ".";
  QTest::newRow("only a short date") << "sShortDate=dd.MM.yy\n"
                                     << "dd.MM.yy"
                                     << "HH:mm:ss"
                                     << "-"
                                     << ":";
  QTest::newRow("empty values keep the defaults") << "sDate=\nsShortDate=\nsTimeFormat=\n"
                                                  << "yyyy-MM-dd"
                                                  << "HH:mm:ss"
                                                  << "-"
                                                  << ":";
  QTest::newRow("no file") << QString() << "yyyy-MM-dd"
                           << "HH:mm:ss"
                           << "-"
                           << ":";
}

void RegionalTest::readFormats() {
  QFETCH(QString, content);
  QFETCH(QString, shortDate);
  QFETCH(QString, longTime);
  QFETCH(QString, dateSeparator);
  QFETCH(QString, timeSeparator);
  if (!content.isNull())
    writeFile(path(), (kHeader + content).toUtf8());
  const datetime::Formats formats = RegionalKey::readFormats(path());
  QCOMPARE(formats.shortDate, shortDate);
  QCOMPARE(formats.longTime, longTime);
  QCOMPARE(formats.dateSeparator, dateSeparator);
  QCOMPARE(formats.timeSeparator, timeSeparator);
  // Reading the formats neither creates nor changes the key.
  QCOMPARE(QFileInfo::exists(path()), !content.isNull());
  if (!content.isNull())
    QCOMPARE(readFile(path()), (kHeader + content).toUtf8());
}

void RegionalTest::defaultFile() {
  const QByteArray savedFile = qgetenv("KG_REGIONAL_FILE");
  const QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
  const bool hadFile = qEnvironmentVariableIsSet("KG_REGIONAL_FILE");
  const bool hadConfig = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");

  qunsetenv("KG_REGIONAL_FILE");
  qputenv("XDG_CONFIG_HOME", m_dir->path().toUtf8());
  const QString underConfig = RegionalKey::defaultFile();
  qputenv("KG_REGIONAL_FILE", path(QStringLiteral("elsewhere.ini")).toUtf8());
  const QString overridden = RegionalKey::defaultFile();

  hadFile ? void(qputenv("KG_REGIONAL_FILE", savedFile)) : void(qunsetenv("KG_REGIONAL_FILE"));
  hadConfig ? void(qputenv("XDG_CONFIG_HOME", savedConfig)) : void(qunsetenv("XDG_CONFIG_HOME"));

  QCOMPARE(underConfig, m_dir->path() + QStringLiteral("/kgfiling/International.ini"));
  QCOMPARE(overridden, path(QStringLiteral("elsewhere.ini")));
}

KG_TEST_MAIN(RegionalTest)
#include "tst_regional.moc"
