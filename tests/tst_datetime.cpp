// The date-time value (days since 1899-12-30) and its texts in the regional
// formats.

#include "fixture/testmain.h"

#include "core/convert.h"
#include "core/datetime.h"

#include <QRegularExpression>
#include <limits>

namespace {

// Days and a time of day as the system's date-time value.
TDateTime at(int days, int hour = 0, int minute = 0, int second = 0, int msec = 0) {
  return days + (((hour * 60 + minute) * 60 + second) * 1000 + msec) / 86400000.0;
}

QDateTime when(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms));
}

const int k20220620 = 44732;

} // namespace

class DateTimeTest : public QObject {
  Q_OBJECT
private slots:
  void init();
  void cleanupTestCase();

  void roundTrip_data();
  void roundTrip();
  void fromDateAndDatePart_data();
  void fromDateAndDatePart();
  void earlier_data();
  void earlier();
  void format_data();
  void format();
  void formatOutOfRange();
  void parsePattern_data();
  void parsePattern();
  void strConversions_data();
  void strConversions();
  void dateTimeToStr_data();
  void dateTimeToStr();
  void gateRoundTrip_data();
  void gateRoundTrip();
  void currentFormatsApply();
};

void DateTimeTest::init() { datetime::setCurrent(datetime::Formats()); }

void DateTimeTest::cleanupTestCase() { datetime::setCurrent(datetime::Formats()); }

void DateTimeTest::roundTrip_data() {
  QTest::addColumn<QDateTime>("qt");
  QTest::addColumn<double>("value");
  QTest::newRow("epoch") << when(1899, 12, 30) << 0.0;
  QTest::newRow("first filing day") << when(2022, 6, 20) << double(k20220620);
  QTest::newRow("last filing day") << when(2022, 6, 21) << 44733.0;
  QTest::newRow("age cut-off") << when(2019, 8, 31) << 43708.0;
  QTest::newRow("1900-01-01") << when(1900, 1, 1) << 2.0;
  QTest::newRow("noon") << when(2022, 6, 20, 12) << k20220620 + 0.5;
  QTest::newRow("six in the morning") << when(2022, 6, 20, 6) << k20220620 + 0.25;
  QTest::newRow("six in the evening") << when(2022, 6, 20, 18) << k20220620 + 0.75;
  QTest::newRow("server time") << when(2022, 6, 20, 10, 15, 30) << at(k20220620, 10, 15, 30);
  QTest::newRow("birth picker time") << when(2022, 6, 20, 16, 56, 39) << at(k20220620, 16, 56, 39);
  QTest::newRow("milliseconds") << when(2022, 6, 20, 23, 59, 59, 999) << at(k20220620, 23, 59, 59, 999);
  QTest::newRow("day before the epoch, 06:00") << when(1899, 12, 29, 6) << -1.25;
  QTest::newRow("two days before the epoch, 18:00") << when(1899, 12, 28, 18) << -2.75;
}

void DateTimeTest::roundTrip() {
  QFETCH(QDateTime, qt);
  QFETCH(double, value);
  QCOMPARE(datetime::fromQDateTime(qt), value);
  QCOMPARE(datetime::toQDateTime(value), qt);
  QCOMPARE(datetime::toQDateTime(datetime::fromQDateTime(qt)), qt);
}

void DateTimeTest::fromDateAndDatePart_data() {
  QTest::addColumn<QDate>("date");
  QTest::addColumn<double>("value");
  QTest::addColumn<double>("withTime");
  QTest::newRow("filing day at 10:15:30") << QDate(2022, 6, 20) << double(k20220620) << at(k20220620, 10, 15, 30);
  QTest::newRow("leap day at the last millisecond") << QDate(2020, 2, 29) << 43890.0 << at(43890, 23, 59, 59, 999);
  QTest::newRow("epoch at noon") << QDate(1899, 12, 30) << 0.0 << 0.5;
  QTest::newRow("before the epoch") << QDate(1899, 12, 29) << -1.0 << -1.25;
}

void DateTimeTest::fromDateAndDatePart() {
  QFETCH(QDate, date);
  QFETCH(double, value);
  QFETCH(double, withTime);
  QCOMPARE(datetime::fromDate(date.year(), date.month(), date.day()), value);
  QCOMPARE(datetime::datePart(withTime), value);
  QCOMPARE(datetime::datePart(value), value);
}

void DateTimeTest::earlier_data() {
  QTest::addColumn<QDateTime>("a");
  QTest::addColumn<QDateTime>("b");
  QTest::addColumn<bool>("aFirst");
  QTest::newRow("midnight before noon") << when(2022, 6, 20) << when(2022, 6, 20, 12) << true;
  QTest::newRow("noon after midnight") << when(2022, 6, 20, 12) << when(2022, 6, 20) << false;
  QTest::newRow("the same instant") << when(2022, 6, 20, 10, 15, 30) << when(2022, 6, 20, 10, 15, 30) << false;
  QTest::newRow("day before the epoch, midnight before 06:00") << when(1899, 12, 29) << when(1899, 12, 29, 6) << true;
  QTest::newRow("day before the epoch, 06:00 after midnight") << when(1899, 12, 29, 6) << when(1899, 12, 29) << false;
  QTest::newRow("1803, birth before the registration's 10:15") << when(1803, 1, 2) << when(1803, 1, 2, 10, 15) << true;
  QTest::newRow("the last millisecond before the epoch")
      << when(1899, 12, 29, 23, 59, 59, 999) << when(1899, 12, 30) << true;
  QTest::newRow("across the epoch") << when(1899, 12, 29, 18) << when(1899, 12, 30, 6) << true;
  QTest::newRow("a later day before the epoch") << when(1899, 12, 28, 18) << when(1899, 12, 29, 6) << true;
}

void DateTimeTest::earlier() {
  QFETCH(QDateTime, a);
  QFETCH(QDateTime, b);
  QFETCH(bool, aFirst);
  QCOMPARE(datetime::earlier(datetime::fromQDateTime(a), datetime::fromQDateTime(b)), aFirst);
  QCOMPARE(a < b, aFirst); // the table itself reads as time does
}

void DateTimeTest::format_data() {
  QTest::addColumn<double>("value");
  QTest::addColumn<QString>("pattern");
  QTest::addColumn<QString>("text");
  const double morning = at(44717, 9, 5, 7); // 2022-06-05 09:05:07
  const double afternoon = at(44717, 15, 5, 7);
  QTest::newRow("short date") << at(k20220620, 10, 15, 30) << "yyyy-MM-dd"
                              << "2022-06-20";
  QTest::newRow("short date pads month and day") << morning << "yyyy-MM-dd"
                                                 << "2022-06-05";
  QTest::newRow("long time") << morning << "HH:mm:ss"
                             << "09:05:07";
  QTest::newRow("long time in the afternoon") << afternoon << "HH:mm:ss"
                                              << "15:05:07";
  QTest::newRow("unpadded fields") << morning << "d/M H:m:s"
                                   << "5/6 9:5:7";
  QTest::newRow("long date with quoted text") << morning << "yyyy'年'M'月'd'日'"
                                              << "2022年6月5日";
  QTest::newRow("quoted text keeps pattern letters") << morning << "'day' d"
                                                     << "day 5";
  QTest::newRow("US short date") << morning << "M/d/yy"
                                 << "6/5/22";
  QTest::newRow("two-digit year of 2009") << at(39819) << "yy"
                                          << "09";
  QTest::newRow("dotted date") << morning << "dd.MM.yyyy"
                               << "05.06.2022";
  QTest::newRow("12-hour clock, afternoon") << afternoon << "h:mm:ss tt"
                                            << "3:05:07 下午";
  QTest::newRow("12-hour clock, morning") << morning << "hh:mm:ss tt"
                                          << "09:05:07 上午";
  QTest::newRow("12-hour clock, midnight") << at(44717, 0, 5, 7) << "h:mm:ss tt"
                                           << "12:05:07 上午";
  QTest::newRow("12-hour clock, noon") << at(44717, 12) << "h:mm:ss tt"
                                       << "12:00:00 下午";
  QTest::newRow("24-hour field beside a marker") << afternoon << "HH:mm tt"
                                                 << "15:05 下午";
  QTest::newRow("date and time") << at(k20220620, 10, 15, 30) << "yyyy-MM-dd HH:mm:ss"
                                 << "2022-06-20 10:15:30";
  QTest::newRow("epoch") << 0.0 << "yyyy-MM-dd HH:mm:ss"
                         << "1899-12-30 00:00:00";
  QTest::newRow("day before the epoch") << -1.25 << "yyyy-MM-dd HH:mm"
                                        << "1899-12-29 06:00";
  QTest::newRow("weekday name") << double(k20220620) << "dddd"
                                << "星期一";
  QTest::newRow("month name") << double(k20220620) << "MMMM"
                              << "六月";
}

void DateTimeTest::format() {
  QFETCH(double, value);
  QFETCH(QString, pattern);
  QFETCH(QString, text);
  QCOMPARE(datetime::format(value, pattern), text);
}

// A value beyond the calendar's range has no month or weekday to name: the
// name patterns fall back to numbers instead of reading past their tables.
void DateTimeTest::formatOutOfRange() {
  const QRegularExpression numbersOnly(QStringLiteral("^[0-9 :\\-]*(上午|下午)?$"));
  for (double value :
       {1e300, -1e300, 1e18, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
    const QString text = datetime::format(value, QStringLiteral("dddd MMMM yyyy-MM-dd HH:mm:ss tt"));
    QVERIFY2(numbersOnly.match(text).hasMatch(), qPrintable(text));
    QVERIFY(numbersOnly.match(datetime::dateTimeToStr(value)).hasMatch());
  }
}

void DateTimeTest::parsePattern_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<QString>("pattern");
  QTest::addColumn<bool>("ok");
  QTest::addColumn<double>("value");
  QTest::newRow("short date") << "2022-06-20"
                              << "yyyy-MM-dd" << true << double(k20220620);
  QTest::newRow("long date") << "2022年6月20日"
                             << "yyyy'年'M'月'd'日'" << true << double(k20220620);
  QTest::newRow("long date without its text") << "2022 6 20"
                                              << "yyyy'年'M'月'd'日'" << false << 0.0;
  QTest::newRow("US short date") << "6/20/22"
                                 << "M/d/yy" << true << double(k20220620);
  QTest::newRow("two-digit year 99") << "12/31/99"
                                     << "M/d/yy" << true << 36525.0;
  QTest::newRow("long time") << "10:15:30"
                             << "HH:mm:ss" << true << at(0, 10, 15, 30);
  QTest::newRow("12-hour afternoon") << "3:05:07 下午"
                                     << "h:mm:ss tt" << true << at(0, 15, 5, 7);
  QTest::newRow("12-hour midnight") << "12:00:00 上午"
                                    << "h:mm:ss tt" << true << 0.0;
  QTest::newRow("12-hour noon") << "12:00:00 下午"
                                << "h:mm:ss tt" << true << 0.5;
  QTest::newRow("12-hour with AM") << "9:05:07 AM"
                                   << "h:mm:ss tt" << true << at(0, 9, 5, 7);
  QTest::newRow("13 on a 12-hour clock") << "13:00:00 下午"
                                         << "h:mm:ss tt" << false << 0.0;
  QTest::newRow("24-hour field beside a marker") << "15:05 下午"
                                                 << "HH:mm tt" << true << at(0, 15, 5);
  QTest::newRow("hour 24") << "24:00:00"
                           << "HH:mm:ss" << false << 0.0;
  QTest::newRow("minute 60") << "10:60:00"
                             << "HH:mm:ss" << false << 0.0;
  QTest::newRow("second 60") << "10:15:60"
                             << "HH:mm:ss" << false << 0.0;
  QTest::newRow("missing seconds") << "10:15"
                                   << "HH:mm:ss" << false << 0.0;
  QTest::newRow("date and time") << "2022-06-20 10:15:30"
                                 << "yyyy-MM-dd HH:mm:ss" << true << at(k20220620, 10, 15, 30);
  QTest::newRow("two blanks between date and time") << "2022-06-20  10:15:30"
                                                    << "yyyy-MM-dd HH:mm:ss" << true << at(k20220620, 10, 15, 30);
  QTest::newRow("no blank between date and time") << "2022-06-2010:15:30"
                                                  << "yyyy-MM-dd HH:mm:ss" << false << 0.0;
  QTest::newRow("T between date and time") << "2022-06-20T10:15:30"
                                           << "yyyy-MM-dd HH:mm:ss" << false << 0.0;
}

void DateTimeTest::parsePattern() {
  QFETCH(QString, text);
  QFETCH(QString, pattern);
  QFETCH(bool, ok);
  QFETCH(double, value);
  TDateTime parsed = -12345;
  QCOMPARE(datetime::parse(text, pattern, parsed), ok);
  if (ok)
    QCOMPARE(parsed, value);
}

// strToDate, strToTime and strToDateTime against the client's formats
// (yyyy-MM-dd, HH:mm:ss), with the runtime's messages when they fail.
void DateTimeTest::strConversions_data() {
  QTest::addColumn<QString>("kind"); // date, time, dateTime
  QTest::addColumn<QString>("text");
  QTest::addColumn<bool>("ok");
  QTest::addColumn<double>("value");

  QTest::newRow("date") << "date"
                        << "2022-06-20" << true << double(k20220620);
  QTest::newRow("date: surrounding blanks") << "date"
                                            << "  2022-06-20  " << true << double(k20220620);
  QTest::newRow("date: leap day") << "date"
                                  << "2020-02-29" << true << 43890.0;
  QTest::newRow("date: age cut-off") << "date"
                                     << "2019-08-31" << true << 43708.0;
  QTest::newRow("date: unpadded month and day") << "date"
                                                << "2022-6-5" << true << 44717.0;
  QTest::newRow("date: February 30") << "date"
                                     << "2019-02-30" << false << 0.0;
  QTest::newRow("date: February 29 of a common year") << "date"
                                                      << "2019-02-29" << false << 0.0;
  QTest::newRow("date: day 32") << "date"
                                << "2019-01-32" << false << 0.0;
  QTest::newRow("date: day 0") << "date"
                               << "2019-01-00" << false << 0.0;
  QTest::newRow("date: month 13") << "date"
                                  << "2019-13-01" << false << 0.0;
  QTest::newRow("date: slashes") << "date"
                                 << "2022/06/20" << false << 0.0;
  QTest::newRow("date: dots") << "date"
                              << "2022.06.20" << false << 0.0;
  QTest::newRow("date: no separators") << "date"
                                       << "20220620" << false << 0.0;
  QTest::newRow("date: three-digit day") << "date"
                                         << "2022-06-200" << false << 0.0;
  QTest::newRow("date: letters") << "date"
                                 << "2019-O8-31" << false << 0.0;
  QTest::newRow("date: empty") << "date"
                               << "" << false << 0.0;
  QTest::newRow("date: with a time") << "date"
                                     << "2022-06-20 10:15:30" << false << 0.0;

  QTest::newRow("time") << "time"
                        << "10:15:30" << true << at(0, 10, 15, 30);
  QTest::newRow("time: midnight") << "time"
                                  << "00:00:00" << true << 0.0;
  QTest::newRow("time: hour 25") << "time"
                                 << "25:00:00" << false << 0.0;
  QTest::newRow("time: dots") << "time"
                              << "10.15.30" << false << 0.0;

  QTest::newRow("date and time") << "dateTime"
                                 << "2022-06-20 10:15:30" << true << at(k20220620, 10, 15, 30);
  QTest::newRow("date and time: date alone") << "dateTime"
                                             << "2022-06-20" << true << double(k20220620);
  QTest::newRow("date and time: surrounding blanks") << "dateTime"
                                                     << " 2022-06-20 10:15:30 " << true << at(k20220620, 10, 15, 30);
  QTest::newRow("date and time: bad time") << "dateTime"
                                           << "2022-06-20 10:15:99" << false << 0.0;
  QTest::newRow("date and time: bad date") << "dateTime"
                                           << "2022-02-30 10:15:30" << false << 0.0;
  QTest::newRow("date and time: ISO text") << "dateTime"
                                           << "2022-06-20T10:15:30" << false << 0.0;
  QTest::newRow("date and time: empty") << "dateTime"
                                        << "" << false << 0.0;
}

void DateTimeTest::strConversions() {
  QFETCH(QString, kind);
  QFETCH(QString, text);
  QFETCH(bool, ok);
  QFETCH(double, value);
  auto convert = [&]() {
    if (kind == QLatin1String("date"))
      return datetime::strToDate(text);
    if (kind == QLatin1String("time"))
      return datetime::strToTime(text);
    return datetime::strToDateTime(text);
  };
  if (ok) {
    QCOMPARE(convert(), value);
    return;
  }
  const QString what = kind == QLatin1String("date")   ? QStringLiteral("date")
                       : kind == QLatin1String("time") ? QStringLiteral("time")
                                                       : QStringLiteral("date and time");
  try {
    convert();
    QFAIL("no ConvertError raised");
  } catch (const ConvertError &error) {
    QCOMPARE(error.message(), QStringLiteral("'%1' is not a valid %2").arg(text, what));
  }
}

void DateTimeTest::dateTimeToStr_data() {
  QTest::addColumn<double>("value");
  QTest::addColumn<QString>("date");
  QTest::addColumn<QString>("time");
  QTest::addColumn<QString>("dateTime");
  QTest::newRow("midnight leaves out the time") << double(k20220620) << "2022-06-20"
                                                << "00:00:00"
                                                << "2022-06-20";
  QTest::newRow("server time") << at(k20220620, 10, 15, 30) << "2022-06-20"
                               << "10:15:30"
                               << "2022-06-20 10:15:30";
  QTest::newRow("one second past midnight") << at(k20220620, 0, 0, 1) << "2022-06-20"
                                            << "00:00:01"
                                            << "2022-06-20 00:00:01";
  QTest::newRow("a millisecond past midnight") << at(k20220620, 0, 0, 0, 1) << "2022-06-20"
                                               << "00:00:00"
                                               << "2022-06-20 00:00:00";
  QTest::newRow("epoch") << 0.0 << "1899-12-30"
                         << "00:00:00"
                         << "1899-12-30";
  QTest::newRow("birth picker") << at(43525, 16, 56, 39) << "2019-03-01"
                                << "16:56:39"
                                << "2019-03-01 16:56:39";
}

void DateTimeTest::dateTimeToStr() {
  QFETCH(double, value);
  QFETCH(QString, date);
  QFETCH(QString, time);
  QFETCH(QString, dateTime);
  QCOMPARE(datetime::dateToStr(value), date);
  QCOMPARE(datetime::timeToStr(value), time);
  QCOMPARE(datetime::dateTimeToStr(value), dateTime);
}

// The start-up gate's conversion of the server's date: to text in the
// current formats, back to a date-time, its date alone to text and back.
void DateTimeTest::gateRoundTrip_data() {
  QTest::addColumn<QDateTime>("server");
  QTest::addColumn<double>("serverDate");
  QTest::newRow("morning of the first day") << when(2022, 6, 20, 10, 15, 30) << double(k20220620);
  QTest::newRow("exactly midnight") << when(2022, 6, 21) << 44733.0;
  QTest::newRow("last millisecond of the day") << when(2022, 6, 21, 23, 59, 59, 999) << 44733.0;
  QTest::newRow("with milliseconds") << when(2022, 6, 20, 18, 0, 0, 500) << double(k20220620);
}

void DateTimeTest::gateRoundTrip() {
  QFETCH(QDateTime, server);
  QFETCH(double, serverDate);
  const QString text = datetime::dateTimeToStr(datetime::fromQDateTime(server));
  TDateTime value = datetime::strToDateTime(text);
  value = datetime::strToDate(datetime::dateToStr(value));
  QCOMPARE(value, serverDate);
  QCOMPARE(datetime::toQDateTime(value), QDateTime(server.date(), QTime(0, 0)));
}

// The conversions follow the formats read at start, not fixed patterns.
void DateTimeTest::currentFormatsApply() {
  datetime::Formats us;
  us.shortDate = QStringLiteral("M/d/yyyy");
  us.longTime = QStringLiteral("h:mm:ss tt");
  us.dateSeparator = QStringLiteral("/");
  datetime::setCurrent(us);
  QCOMPARE(datetime::current().shortDate, QStringLiteral("M/d/yyyy"));
  const TDateTime value = at(k20220620, 15, 5, 7);
  QCOMPARE(datetime::dateTimeToStr(value), QStringLiteral("6/20/2022 3:05:07 下午"));
  QCOMPARE(datetime::strToDateTime(QStringLiteral("6/20/2022 3:05:07 下午")), value);
  QCOMPARE(datetime::strToDate(QStringLiteral("6/20/2022")), double(k20220620));
  QVERIFY_THROWS_EXCEPTION(ConvertError, datetime::strToDate(QStringLiteral("2022-06-20")));
}

KG_TEST_MAIN(DateTimeTest)
#include "tst_datetime.moc"
