#include "platform/regional.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>
#include <QStandardPaths>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

#ifdef Q_OS_WIN
namespace {
const wchar_t kKeyPath[] = L"Control Panel\\International";
} // namespace
#else
namespace {
// A time format of the locale in the notation of the key: its
// morning/afternoon marker (AP, ap, A, a) becomes tt, and its time-zone field
// (t), which the key has no notation for, goes with the blank beside it.
QString keyTimeFormat(const QString &localeFormat) {
  QString out;
  for (qsizetype i = 0; i < localeFormat.size();) {
    QChar c = localeFormat.at(i);
    if (c == QLatin1Char('\'')) {
      qsizetype end = localeFormat.indexOf(c, i + 1);
      end = end < 0 ? localeFormat.size() : end + 1;
      out += localeFormat.mid(i, end - i);
      i = end;
    } else if (c == QLatin1Char('t')) {
      while (i < localeFormat.size() && localeFormat.at(i) == QLatin1Char('t'))
        ++i;
      if (out.endsWith(QLatin1Char(' ')))
        out.chop(1);
      else if (i < localeFormat.size() && localeFormat.at(i) == QLatin1Char(' '))
        ++i;
    } else if (c == QLatin1Char('A') || c == QLatin1Char('a')) {
      ++i;
      if (i < localeFormat.size() && localeFormat.at(i).toLower() == QLatin1Char('p'))
        ++i;
      out += QLatin1String("tt");
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}
} // namespace
#endif

RegionalKey::RegionalKey(const QString &file) : m_file(file) {}

RegionalKey::~RegionalKey() { close(); }

QString RegionalKey::defaultFile() {
  QString overridden = qEnvironmentVariable("KG_REGIONAL_FILE");
  if (!overridden.isEmpty())
    return overridden;
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         QStringLiteral("/kgfiling/International.ini");
}

#ifdef Q_OS_WIN

bool RegionalKey::open(bool forWriting) {
  HKEY key = nullptr;
  m_open = RegOpenKeyExW(HKEY_CURRENT_USER, kKeyPath, 0, forWriting ? KEY_READ | KEY_WRITE : KEY_READ, &key) ==
           ERROR_SUCCESS;
  m_hkey = m_open ? key : nullptr;
  return m_open;
}

QString RegionalKey::readString(const QString &name) const {
  if (!m_open)
    return {};
  wchar_t buffer[512];
  DWORD size = sizeof(buffer);
  DWORD type = 0;
  if (RegQueryValueExW(HKEY(m_hkey), reinterpret_cast<const wchar_t *>(name.utf16()), nullptr, &type,
                       reinterpret_cast<BYTE *>(buffer), &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return {};
  return QString::fromWCharArray(buffer, int(size / sizeof(wchar_t))).section(QChar(0), 0, 0);
}

void RegionalKey::writeString(const QString &name, const QString &value) {
  if (!m_open)
    throw RegistryError("Failed to set data for '" + name.toStdString() + "'");
  std::wstring data = value.toStdWString();
  if (RegSetValueExW(HKEY(m_hkey), reinterpret_cast<const wchar_t *>(name.utf16()), 0, REG_SZ,
                     reinterpret_cast<const BYTE *>(data.c_str()),
                     DWORD((data.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS)
    throw RegistryError("Failed to set data for '" + name.toStdString() + "'");
}

void RegionalKey::close() {
  if (m_hkey)
    RegCloseKey(HKEY(m_hkey));
  m_hkey = nullptr;
  m_open = false;
}

void RegionalKey::ensureUserProfile(const QString &) {}

#else

bool RegionalKey::open(bool forWriting) {
  close();
  QFileInfo info(m_file);
  if (!info.exists() || !info.isFile() || (forWriting && !info.isWritable()))
    return false;
  QFile file(m_file);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
    return false;
  m_writable = forWriting;
  for (const QByteArray &raw : file.readAll().split('\n')) {
    QString line = QString::fromUtf8(raw);
    if (line.endsWith(QLatin1Char('\r')))
      line.chop(1);
    qsizetype eq = line.indexOf(QLatin1Char('='));
    if (eq <= 0 || line.startsWith(QLatin1Char('[')) || line.startsWith(QLatin1Char(';')))
      continue;
    QString name = line.left(eq);
    if (!m_values.contains(name))
      m_order.append(name);
    m_values.insert(name, line.mid(eq + 1));
  }
  m_open = true;
  return true;
}

QString RegionalKey::readString(const QString &name) const { return m_open ? m_values.value(name) : QString(); }

void RegionalKey::writeString(const QString &name, const QString &value) {
  if (!m_open || !m_writable)
    throw RegistryError("Failed to set data for '" + name.toStdString() + "'");
  if (!m_values.contains(name))
    m_order.append(name);
  m_values.insert(name, value);
  QSaveFile file(m_file);
  file.setDirectWriteFallback(true);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
    throw RegistryError("Failed to set data for '" + name.toStdString() + "'");
  QByteArray text = "[Control Panel\\International]\n";
  for (const QString &key : std::as_const(m_order))
    text += (key + QLatin1Char('=') + m_values.value(key) + QLatin1Char('\n')).toUtf8();
  if (file.write(text) != text.size() || !file.commit())
    throw RegistryError("Failed to set data for '" + name.toStdString() + "'");
}

void RegionalKey::close() {
  m_open = false;
  m_writable = false;
  m_values.clear();
  m_order.clear();
}

void RegionalKey::ensureUserProfile(const QString &path) {
  if (QFileInfo::exists(path))
    return;
  QDir().mkpath(QFileInfo(path).absolutePath());
  // The system locale's own formats, in the notation of the key.
  QLocale locale = QLocale::system();
  QString shortDate = locale.dateFormat(QLocale::ShortFormat);
  QString longTime = keyTimeFormat(locale.timeFormat(QLocale::LongFormat));
  QString separator = QStringLiteral("/");
  for (QChar c : shortDate)
    if (!c.isLetter()) {
      separator = c;
      break;
    }
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
    return;
  QByteArray text = "[Control Panel\\International]\n";
  text += ("sDate=" + separator + "\n").toUtf8();
  text += ("sShortDate=" + shortDate + "\n").toUtf8();
  text += ("sTimeFormat=" + longTime + "\n").toUtf8();
  file.write(text);
}

#endif

datetime::Formats RegionalKey::readFormats(const QString &file) {
  datetime::Formats formats;
  RegionalKey key(file);
  key.open(false);
  auto pick = [&](const char *name, QString &into) {
    QString value = key.readString(QLatin1String(name));
    if (!value.isEmpty())
      into = value;
  };
  pick("sShortDate", formats.shortDate);
  pick("sTimeFormat", formats.longTime);
  pick("sDate", formats.dateSeparator);
  pick("sTime", formats.timeSeparator);
  return formats;
}
