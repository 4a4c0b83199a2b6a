// The date and time texts (core/datetime.h) on any text and any pattern of
// the regional notation.
//
// Checked, besides running without a crash or a sanitizer report:
// - with the client's formats (yyyy-MM-dd, HH:mm:ss), a date or time that a
//   text reads as formats to a text that reads as the same value again, and a
//   date formats to exactly 10 bytes, a time to 8;
// - every date-time the client can hold (years 1753 to 9999, to the second)
//   formats and reads back as the same value with the client's formats;
// - with any pattern and any formats, parsing and formatting end without a
//   crash, and a value read from a text is a real date-time (within the
//   years 1 to 9999, never NaN or infinite).

#include "core/convert.h"
#include "core/datetime.h"
#include "core/gbk.h"
#include "fuzz_common.h"

#include <cmath>

namespace {

bool sane(TDateTime value) {
  return std::isfinite(value) && value > datetime::fromDate(1, 1, 1) - 1 &&
         value < datetime::fromDate(9999, 12, 31) + 1;
}

// The client's own formats: reads and formats are inverse.
void checkClientFormats(const QString &text, int days, int seconds) {
  datetime::setCurrent(datetime::Formats());
  try {
    const TDateTime date = datetime::strToDate(text);
    FUZZ_CHECK(sane(date), "a date read from a text is a real date");
    const QString shown = datetime::dateToStr(date);
    FUZZ_CHECK(gbk::byteLength(shown) == 10, "a date text of the client is 10 bytes");
    FUZZ_CHECK(datetime::strToDate(shown) == date, "a date's text reads back as the same date");
  } catch (const ConvertError &) {
  }
  try {
    const TDateTime time = datetime::strToTime(text);
    FUZZ_CHECK(time >= 0 && time < 1, "a time read from a text lies within one day");
    const QString shown = datetime::timeToStr(time);
    FUZZ_CHECK(gbk::byteLength(shown) == 8, "a time text of the client is 8 bytes");
    FUZZ_CHECK(datetime::strToTime(shown) == time, "a time's text reads back as the same time");
  } catch (const ConvertError &) {
  }
  try {
    const TDateTime stamp = datetime::strToDateTime(text);
    FUZZ_CHECK(sane(stamp), "a date-time read from a text is a real date-time");
    FUZZ_CHECK(datetime::strToDateTime(datetime::dateTimeToStr(stamp)) == stamp,
               "a date-time's text reads back as the same date-time");
  } catch (const ConvertError &) {
  }
  // A value the client holds, to the second.
  const QDateTime held(QDate(1753, 1, 1).addDays(days), QTime(0, 0).addSecs(seconds));
  const TDateTime value = datetime::fromQDateTime(held);
  FUZZ_CHECK(datetime::toQDateTime(value) == held, "a date-time survives the day count");
  FUZZ_CHECK(datetime::strToDateTime(datetime::dateTimeToStr(value)) == value,
             "a held date-time formats and reads back as itself");
  FUZZ_CHECK(datetime::strToDate(datetime::dateToStr(value)) == datetime::datePart(value),
             "a held date formats and reads back as itself");
}

// Any formats, as a regional settings file may hold them.
void checkAnyFormats(const QString &text, const QString &pattern, const datetime::Formats &formats, int days,
                     int seconds) {
  TDateTime value = 0;
  if (datetime::parse(text, pattern, value))
    FUZZ_CHECK(sane(value), "a value read with any pattern is a real date-time");
  const QDateTime held(QDate(1753, 1, 1).addDays(days), QTime(0, 0).addSecs(seconds));
  datetime::format(datetime::fromQDateTime(held), pattern);
  datetime::setCurrent(formats);
  for (const auto &read : {&datetime::strToDate, &datetime::strToTime, &datetime::strToDateTime}) {
    try {
      FUZZ_CHECK(sane(read(text)), "a value read with the current formats is a real date-time");
    } catch (const ConvertError &) {
    }
  }
  datetime::dateTimeToStr(datetime::fromQDateTime(held));
  datetime::setCurrent(datetime::Formats());
}

} // namespace

FUZZ_INITIALIZE_CORE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  // 1753-01-01 to 9999-12-31
  const int days = input.ConsumeIntegralInRange(0, 2994616);
  const int seconds = input.ConsumeIntegralInRange(0, 86399);
  const QString text = QString::fromUtf8(fuzz::bytes(input, 64));
  const QString pattern = QString::fromUtf8(fuzz::bytes(input, 32));
  datetime::Formats formats;
  formats.shortDate = QString::fromUtf8(fuzz::bytes(input, 24));
  formats.longTime = QString::fromUtf8(fuzz::bytes(input, 24));
  checkClientFormats(text, days, seconds);
  checkAnyFormats(text, pattern, formats, days, seconds);
  return 0;
}
