// The regional settings file (platform/regional.h) as any bytes: a file the
// user or another program wrote, the formats the client reads from it at
// start, and the start-up gate's write of its three values.
//
// Checked, besides running without a crash or a sanitizer report:
// - any file opens, reads and yields formats that the date texts can use;
// - a value written reads back as written, from the same key and after the
//   file is opened again;
// - a write keeps every other value of the file as it read before.

#include "core/datetime.h"
#include "fuzz_common.h"
#include "platform/regional.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

QString file() {
  static QTemporaryDir dir;
  return dir.filePath(QStringLiteral("International.ini"));
}

// The values of the key, by name.
QMap<QString, QString> values(const QStringList &names) {
  QMap<QString, QString> read;
  RegionalKey key(file());
  if (key.open(false))
    for (const QString &name : names)
      read.insert(name, key.readString(name));
  return read;
}

} // namespace

FUZZ_INITIALIZE_CORE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  const int which = input.ConsumeIntegralInRange(0, 3);
  const QString written = QString::fromUtf8(fuzz::bytes(input, 24));
  const std::string rest = input.ConsumeRemainingBytesAsString();
  QByteArray content(rest.data(), qsizetype(rest.size()));
  {
    QFile out(file());
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
      std::abort();
    out.write(content);
  }
  // The names the file holds, as any reader of name=value lines sees them,
  // and the three the gate writes.
  QStringList names{QStringLiteral("sShortDate"), QStringLiteral("sTimeFormat"), QStringLiteral("sDate"),
                    QStringLiteral("sTime")};
  for (const QByteArray &line : content.split('\n')) {
    const qsizetype eq = line.indexOf('=');
    if (eq > 0)
      names << QString::fromUtf8(line.left(eq));
  }

  // The formats read at start, used as the client uses them.
  const datetime::Formats formats = RegionalKey::readFormats(file());
  datetime::setCurrent(formats);
  const TDateTime now = datetime::fromDate(2022, 6, 20) + 0.5;
  try {
    datetime::strToDateTime(datetime::dateTimeToStr(now));
  } catch (const std::exception &) {
  }
  datetime::setCurrent(datetime::Formats());

  // The gate's write: one of its values (or another name), with any value
  // that holds no line break.
  if (written.contains(QLatin1Char('\n')) || written.contains(QLatin1Char('\r')))
    return 0;
  const QString name = which < 3 ? names.at(which) : QStringLiteral("sLongDate");
  names << name;
  const QMap<QString, QString> before = values(names);
  {
    RegionalKey key(file());
    if (!key.open(true))
      return 0;
    try {
      key.writeString(name, written);
    } catch (const RegistryError &) {
      return 0;
    }
    FUZZ_CHECK(key.readString(name) == written, "a written value reads back from the same key");
  }
  const QMap<QString, QString> after = values(names);

  FUZZ_CHECK(after.value(name) == written, "a written value reads back after the file is opened again");
  for (auto it = before.begin(); it != before.end(); ++it) {
    if (it.key() != name)
      FUZZ_CHECK(after.value(it.key()) == it.value(), "a write keeps every other value");
  }
  return 0;
}
