#include "core/datetime.h"

#include "core/convert.h"

#include <QDate>
#include <QTime>
#include <cmath>

namespace datetime {

namespace {

const QDate kEpoch(1899, 12, 30);

Formats g_formats;

// A pattern split into fields and literal text.
struct Token {
  enum Kind { Literal, Year, Month, Day, Hour24, Hour12, Minute, Second, AmPm } kind;
  int width = 0;   // number of pattern letters (MM is 2)
  QString literal; // for Literal
};

QList<Token> tokenize(const QString &pattern) {
  QList<Token> tokens;
  auto addLiteral = [&](const QString &text) {
    if (!tokens.isEmpty() && tokens.back().kind == Token::Literal)
      tokens.back().literal += text;
    else
      tokens.append({Token::Literal, 0, text});
  };
  for (qsizetype i = 0; i < pattern.size();) {
    QChar c = pattern.at(i);
    if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
      qsizetype end = pattern.indexOf(c, i + 1);
      if (end < 0)
        end = pattern.size();
      addLiteral(pattern.mid(i + 1, end - i - 1));
      i = end + 1;
      continue;
    }
    qsizetype run = 1;
    while (i + run < pattern.size() && pattern.at(i + run) == c)
      ++run;
    Token::Kind kind = Token::Literal;
    switch (c.unicode()) {
    case 'y': kind = Token::Year; break;
    case 'M': kind = Token::Month; break;
    case 'd': kind = Token::Day; break;
    case 'H': kind = Token::Hour24; break;
    case 'h': kind = Token::Hour12; break;
    case 'm': kind = Token::Minute; break;
    case 's': kind = Token::Second; break;
    case 't': kind = Token::AmPm; break;
    default: break;
    }
    if (kind == Token::Literal)
      addLiteral(pattern.mid(i, run));
    else
      tokens.append({kind, int(run), {}});
    i += run;
  }
  return tokens;
}

QString padded(int value, int width) { return QString::number(value).rightJustified(width, QLatin1Char('0')); }

const QString kMonthNames[12] = {"一月", "二月", "三月", "四月", "五月",   "六月",
                                 "七月", "八月", "九月", "十月", "十一月", "十二月"};
const QString kDayNames[7] = {"星期一", "星期二", "星期三", "星期四", "星期五", "星期六", "星期日"};

} // namespace

TDateTime fromQDateTime(const QDateTime &value) {
  QDate date = value.date();
  QTime time = value.time();
  double days = double(kEpoch.daysTo(date));
  double fraction = time.isValid() ? time.msecsSinceStartOfDay() / 86400000.0 : 0.0;
  // Before the epoch the fraction still counts forward from midnight, and the
  // sign of the whole value carries the day (as the runtime stores it).
  return days >= 0 ? days + fraction : days - fraction;
}

QDateTime toQDateTime(TDateTime value) {
  // A value beyond any day count (or not a number) names no date.
  if (!std::isfinite(value) || std::fabs(value) >= 9.0e18)
    return QDateTime();
  double days = std::trunc(value);
  double fraction = std::fabs(value - days);
  qint64 msecs = qint64(std::llround(fraction * 86400000.0));
  if (msecs >= 86400000)
    msecs = 86399999;
  return QDateTime(kEpoch.addDays(qint64(days)), QTime::fromMSecsSinceStartOfDay(int(msecs)));
}

TDateTime fromDate(int year, int month, int day) { return double(kEpoch.daysTo(QDate(year, month, day))); }

TDateTime datePart(TDateTime value) { return std::trunc(value); }

bool earlier(TDateTime a, TDateTime b) {
  const auto timeline = [](TDateTime value) { return datePart(value) + std::fabs(value - datePart(value)); };
  return timeline(a) < timeline(b);
}

const Formats &current() { return g_formats; }

void setCurrent(const Formats &formats) { g_formats = formats; }

QString format(TDateTime value, const QString &pattern) {
  QDateTime when = toQDateTime(value);
  QDate date = when.date();
  QTime time = when.time();
  const QList<Token> tokens = tokenize(pattern);
  QString out;
  for (const Token &t : tokens) {
    switch (t.kind) {
    case Token::Literal: out += t.literal; break;
    case Token::Year: out += t.width <= 2 ? padded(date.year() % 100, 2) : padded(date.year(), 4); break;
    case Token::Month:
      if (t.width <= 2 || !date.isValid())
        out += padded(date.month(), qMin(t.width, 2));
      else
        out += kMonthNames[date.month() - 1];
      break;
    case Token::Day:
      if (t.width <= 2 || !date.isValid())
        out += padded(date.day(), qMin(t.width, 2));
      else
        out += kDayNames[date.dayOfWeek() - 1];
      break;
    case Token::Hour24:
    case Token::Hour12: {
      // H is the 24-hour clock even beside a morning/afternoon marker.
      int hour = time.hour();
      if (t.kind == Token::Hour12) {
        hour %= 12;
        if (hour == 0)
          hour = 12;
      }
      out += padded(hour, qMin(t.width, 2));
      break;
    }
    case Token::Minute: out += padded(time.minute(), qMin(t.width, 2)); break;
    case Token::Second: out += padded(time.second(), qMin(t.width, 2)); break;
    case Token::AmPm: out += time.hour() < 12 ? QStringLiteral("上午") : QStringLiteral("下午"); break;
    }
  }
  return out;
}

bool parse(const QString &text, const QString &pattern, TDateTime &value) {
  const QList<Token> tokens = tokenize(pattern);
  const QString s = text.trimmed();
  qsizetype i = 0;
  int year = -1, month = -1, day = -1, hour = -1, minute = -1, second = -1;
  int pm = -1;
  bool twelveHour = false;
  bool hasDate = false, hasTime = false;
  auto readNumber = [&](int maxDigits, int &out) {
    qsizetype start = i;
    while (i < s.size() && i - start < maxDigits && s.at(i).isDigit() && s.at(i).unicode() < 0x80)
      ++i;
    if (i == start)
      return false;
    out = s.mid(start, i - start).toInt();
    return true;
  };
  for (const Token &t : tokens) {
    switch (t.kind) {
    case Token::Literal: {
      // Blanks in the pattern match any run of blanks in the text.
      const QString lit = t.literal;
      if (lit.trimmed().isEmpty() && !lit.isEmpty()) {
        if (i >= s.size() || s.at(i) != QLatin1Char(' '))
          return false;
        while (i < s.size() && s.at(i) == QLatin1Char(' '))
          ++i;
        break;
      }
      if (s.mid(i, lit.size()) != lit)
        return false;
      i += lit.size();
      break;
    }
    case Token::Year: {
      qsizetype start = i;
      if (!readNumber(4, year))
        return false;
      if (i - start <= 2)
        year += year < 50 ? 2000 : 1900;
      hasDate = true;
      break;
    }
    case Token::Month:
      if (t.width > 2) {
        int found = -1;
        for (int m = 11; m >= 0 && found < 0; --m)
          if (s.mid(i, kMonthNames[m].size()) == kMonthNames[m])
            found = m;
        if (found < 0)
          return false;
        i += kMonthNames[found].size();
        month = found + 1;
      } else if (!readNumber(2, month)) {
        return false;
      }
      hasDate = true;
      break;
    case Token::Day:
      if (t.width > 2) {
        bool found = false;
        for (const QString &name : kDayNames)
          if (!found && s.mid(i, name.size()) == name) {
            i += name.size();
            found = true;
          }
        if (!found)
          return false;
      } else if (!readNumber(2, day)) {
        return false;
      }
      hasDate = true;
      break;
    case Token::Hour24:
    case Token::Hour12:
      if (!readNumber(2, hour))
        return false;
      twelveHour = t.kind == Token::Hour12;
      hasTime = true;
      break;
    case Token::Minute:
      if (!readNumber(2, minute))
        return false;
      hasTime = true;
      break;
    case Token::Second:
      if (!readNumber(2, second))
        return false;
      hasTime = true;
      break;
    case Token::AmPm:
      if (s.mid(i, 2) == QStringLiteral("上午") || s.mid(i, 2).compare(QLatin1String("AM"), Qt::CaseInsensitive) == 0)
        pm = 0;
      else if (s.mid(i, 2) == QStringLiteral("下午") ||
               s.mid(i, 2).compare(QLatin1String("PM"), Qt::CaseInsensitive) == 0)
        pm = 1;
      else
        return false;
      i += 2;
      break;
    }
  }
  if (i != s.size())
    return false;
  double result = 0;
  if (hasDate) {
    if (year < 0 || month < 0 || day < 0)
      return false;
    QDate date(year, month, day);
    if (!date.isValid())
      return false;
    result = double(kEpoch.daysTo(date));
  }
  if (hasTime) {
    if (hour < 0)
      return false;
    if (pm >= 0 && twelveHour) {
      if (hour < 1 || hour > 12)
        return false;
      hour = hour % 12 + (pm ? 12 : 0);
    }
    QTime time(hour, qMax(minute, 0), qMax(second, 0));
    if (!time.isValid())
      return false;
    double fraction = time.msecsSinceStartOfDay() / 86400000.0;
    result = result >= 0 ? result + fraction : result - fraction;
  }
  value = result;
  return hasDate || hasTime;
}

QString dateToStr(TDateTime value) { return format(value, g_formats.shortDate); }

QString timeToStr(TDateTime value) { return format(value, g_formats.longTime); }

QString dateTimeToStr(TDateTime value) {
  QString text = dateToStr(value);
  if (value != std::trunc(value))
    text += QLatin1Char(' ') + timeToStr(value);
  return text;
}

TDateTime strToDate(const QString &text) {
  TDateTime value = 0;
  if (!parse(text, g_formats.shortDate, value))
    throw ConvertError(QStringLiteral("'%1' is not a valid date").arg(text));
  return value;
}

TDateTime strToTime(const QString &text) {
  TDateTime value = 0;
  if (!parse(text, g_formats.longTime, value))
    throw ConvertError(QStringLiteral("'%1' is not a valid time").arg(text));
  return value;
}

TDateTime strToDateTime(const QString &text) {
  TDateTime value = 0;
  if (parse(text, g_formats.shortDate, value) ||
      parse(text, g_formats.shortDate + QLatin1Char(' ') + g_formats.longTime, value))
    return value;
  throw ConvertError(QStringLiteral("'%1' is not a valid date and time").arg(text));
}

} // namespace datetime
