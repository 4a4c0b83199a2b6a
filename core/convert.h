#pragma once
// Conversions that fail the way the runtime's own do: with an exception whose
// text the application-wide error box shows as it stands.

#include <QString>
#include <stdexcept>

// A failed text-to-number or text-to-date conversion.
class ConvertError : public std::runtime_error {
public:
  explicit ConvertError(const QString &message);
  QString message() const;
};

// Optional blanks, an optional sign and decimal digits (or a $ / 0x
// hexadecimal number), in the 32-bit range; anything else raises
// ConvertError "'<text>' is not a valid integer value".
int strToInt(const QString &text);

// The message text of the error box for an exception: its text with a full
// stop appended when its last character sorts after ".".
QString errorBoxText(const QString &exceptionText);
