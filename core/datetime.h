#pragma once
// The system's date-time value and its texts.
//
// Every date of the system is a double: days since 1899-12-30 00:00, with the
// time of day as the fraction. Dates turn into text and back through the
// regional formats read once at program start (short date format, long time
// format), which the start-up gate holds at yyyy-MM-dd and HH:mm:ss.

#include <QDateTime>
#include <QString>

using TDateTime = double;

namespace datetime {

TDateTime fromQDateTime(const QDateTime &value);
QDateTime toQDateTime(TDateTime value);
TDateTime fromDate(int year, int month, int day);
// The date part alone (midnight), truncating toward the start of the day.
TDateTime datePart(TDateTime value);
// Whether a comes before b in time. Before the epoch the fraction still
// counts forward from the day's start while the whole value is negative, so
// two values of one such day do not order as plain numbers.
bool earlier(TDateTime a, TDateTime b);

// The client's regional formats: patterns in the Windows notation (yyyy, M,
// MM, d, dd, H, HH, h, hh, m, mm, s, ss, tt, and text in single quotes).
struct Formats {
  QString shortDate = QStringLiteral("yyyy-MM-dd");
  QString longTime = QStringLiteral("HH:mm:ss");
  QString dateSeparator = QStringLiteral("-");
  QString timeSeparator = QStringLiteral(":");
};

// The formats the program reads at start; every conversion below uses them.
const Formats &current();
void setCurrent(const Formats &formats);

// Formatting with an explicit pattern, and with the current formats.
QString format(TDateTime value, const QString &pattern);
QString dateToStr(TDateTime value);
QString timeToStr(TDateTime value);
// Date, a blank and the time; the time is left out at midnight exactly.
QString dateTimeToStr(TDateTime value);

// Parsing against the current formats. Surrounding blanks are allowed; a
// text that does not fit, or names no real date or time, raises ConvertError
// "'<text>' is not a valid date" (or "... date and time", "... time").
TDateTime strToDate(const QString &text);
TDateTime strToTime(const QString &text);
// A date, optionally followed by a blank and a time.
TDateTime strToDateTime(const QString &text);

// Parsing against an explicit pattern; false when the text does not fit.
bool parse(const QString &text, const QString &pattern, TDateTime &value);

} // namespace datetime
