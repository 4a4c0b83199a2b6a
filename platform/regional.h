#pragma once
// The current user's regional settings key, Control Panel\International.
//
// On Windows it is the registry key under HKEY_CURRENT_USER. Elsewhere it is
// a settings file (name=value lines, UTF-8) in the user's configuration
// folder that behaves the same way: opening never creates it, a value that
// does not exist reads as empty, a key that is missing or that the user cannot
// write to (not a file, read-only, immutable) does not open for writing, and a
// write to a key that is not open for writing fails.

#include "core/datetime.h"

#include <QMap>
#include <QString>
#include <stdexcept>

class RegistryError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class RegionalKey {
public:
  // A key at the given settings file (ignored on Windows).
  explicit RegionalKey(const QString &file = defaultFile());
  ~RegionalKey();
  RegionalKey(const RegionalKey &) = delete;
  RegionalKey &operator=(const RegionalKey &) = delete;

  // Open without creating, for reading and writing (or for reading alone);
  // false when it cannot be opened so.
  bool open(bool forWriting = true);
  // A missing value, or a key that is not open, reads as empty text.
  QString readString(const QString &name) const;
  // Raises RegistryError when the key is not open or the value cannot be
  // written.
  void writeString(const QString &name, const QString &value);
  void close();

  // The settings file of the current user: $XDG_CONFIG_HOME (or ~/.config)
  // /kgfiling/International.ini, or $KG_REGIONAL_FILE when it is set.
  static QString defaultFile();
  // A new user profile holds the key with the system locale's formats, as on
  // Windows: create the file when it does not exist yet.
  static void ensureUserProfile(const QString &file = defaultFile());
  // The client's date and time formats, read at program start.
  static datetime::Formats readFormats(const QString &file = defaultFile());

private:
  QString m_file;
  bool m_open = false;
  bool m_writable = false;
  QMap<QString, QString> m_values;
  QStringList m_order;
#ifdef Q_OS_WIN
  void *m_hkey = nullptr;
#endif
};
