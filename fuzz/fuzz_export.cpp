// kgadmin export (tools/exchange.cpp) of applications holding any texts: what
// the client stored, and what an administrator or a careless statement put
// into the store by hand (a kindergarten no quota row names, quotes, commas,
// line breaks, control characters, long texts).
//
// Checked, besides running without a crash or a sanitizer report:
// - both exports, CSV and XLSX, succeed whatever the stored texts hold, and
//   leave nothing beside the file asked for;
// - the raw CSV (--raw) reads back (RFC 4180, UTF-8 after its byte-order
//   mark) as exactly the stored texts; the CSV for spreadsheets as the same
//   texts, each one a spreadsheet would take for a formula (beginning with
//   = + - @, a tab or a carriage return) after an apostrophe, and no other.

#include "filing/catchment.h"
#include "fixture/teststore.h"
#include "fuzz_common.h"
#include "store/schema.h"
#include "tools/admin.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

TestStore *g_store = nullptr;
QTemporaryDir *g_dir = nullptr;

// The records of a CSV file: fields in double quotes, "" for a quote, lines
// ended by CR LF.
QList<QStringList> readCsv(const QByteArray &bytes) {
  FUZZ_CHECK(bytes.startsWith("\xEF\xBB\xBF"), "the CSV starts with the UTF-8 byte-order mark");
  const QString text = QString::fromUtf8(bytes.mid(3));
  QList<QStringList> records;
  QStringList record;
  QString field;
  bool quoted = false, inField = false;
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text.at(i);
    if (quoted) {
      if (c == u'"' && i + 1 < text.size() && text.at(i + 1) == u'"') {
        field += u'"';
        ++i;
      } else if (c == u'"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == u'"') {
      quoted = true;
      inField = true;
    } else if (c == u',') {
      record << field;
      field.clear();
    } else if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n') {
      record << field;
      records << record;
      record.clear();
      field.clear();
      inField = false;
      ++i;
    } else {
      FUZZ_CHECK(false, "every CSV field is quoted");
    }
  }
  FUZZ_CHECK(!quoted && !inField && field.isEmpty() && record.isEmpty(), "the CSV ends with a whole record");
  return records;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
  fuzz::initialize(argc, argv, false);
  // kgadmin's report of each export is not wanted here.
  if (!std::freopen("/dev/null", "w", stdout))
    std::abort();
  g_store = TestStore::sqlite().release();
  g_dir = new QTemporaryDir;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  const QStringList columns = schema::applicationColumns();
  const int count = input.ConsumeIntegralInRange(1, 3);
  g_store->exec(QStringLiteral("delete from lz_yjxxk"));
  QList<QStringList> stored;
  for (int r = 0; r < count; ++r) {
    QVariantMap row;
    QStringList texts;
    for (const QString &column : columns) {
      QString value;
      if (column == QStringLiteral("填报日期")) {
        value = QStringLiteral("2022-06-20 00:00:00");
      } else if (column == QStringLiteral("身份证号")) {
        value = QStringLiteral("11010120190305%1").arg(r, 4, 10, QLatin1Char('0')) +
                QString::fromUtf8(fuzz::bytes(input, 8));
      } else if (column == QStringLiteral("申请幼儿园名称") && input.ConsumeBool()) {
        const auto &table = quota::table();
        value = QString::fromUtf8(table[input.ConsumeIntegralInRange<size_t>(0, table.size() - 1)].kindergarten);
      } else {
        value = QString::fromUtf8(fuzz::bytes(input, 40));
      }
      row.insert(column, value);
      texts << value;
    }
    g_store->insertApplication(row);
    stored << texts;
  }

  const QString setting = g_store->location().setting();
  const QStringList names{QStringLiteral("out.csv"), QStringLiteral("raw.csv"), QStringLiteral("out.xlsx")};
  for (const QString &name : names) {
    const QString file = g_dir->filePath(name);
    QFile::remove(file);
    QStringList command{QStringLiteral("export"), setting, file};
    if (name == QLatin1String("raw.csv"))
      command << QStringLiteral("--raw");
    int code = -1;
    try {
      code = admin::exportApplications(command);
    } catch (const StoreError &failure) {
      std::fprintf(stderr, "export failed: %s\n", failure.what());
    } catch (const admin::UsageError &usage) {
      std::fprintf(stderr, "export refused: %s\n", qPrintable(usage.message));
    }
    FUZZ_CHECK(code == admin::kDone, "the export succeeds whatever the stored texts hold");
    FUZZ_CHECK(QDir(g_dir->path()).entryList(QDir::Files | QDir::Hidden).contains(name),
               "the export writes the file asked for");
  }
  FUZZ_CHECK(QDir(g_dir->path()).entryList(QDir::Files | QDir::Hidden).size() == names.size(),
             "the export leaves nothing beside the files asked for");

  // Compared by identity number: rows stored within one millisecond have no
  // order of recording among them.
  const qsizetype number = columns.indexOf(QStringLiteral("身份证号"));
  const auto byNumber = [number](const QStringList &a, const QStringList &b) {
    return a.value(number) < b.value(number);
  };
  std::sort(stored.begin(), stored.end(), byNumber);
  for (const bool raw : {true, false}) {
    QFile csv(g_dir->filePath(raw ? QStringLiteral("raw.csv") : QStringLiteral("out.csv")));
    if (!csv.open(QIODevice::ReadOnly))
      std::abort();
    QList<QStringList> records = readCsv(csv.readAll());
    FUZZ_CHECK(records.size() == count + 1, "the CSV holds a header and one record per application");
    records.removeFirst();
    std::sort(records.begin(), records.end(), byNumber);
    for (int r = 0; r < count; ++r) {
      FUZZ_CHECK(records.at(r).size() == columns.size() + 1, "every record holds every column and the recording time");
      for (int c = 0; c < columns.size(); ++c) {
        const QString &text = stored.at(r).at(c);
        const bool formula = !text.isEmpty() && QStringLiteral("=+-@\t\r").contains(text.front());
        const QString expected = !raw && formula ? QLatin1Char('\'') + text : text;
        FUZZ_CHECK(records.at(r).at(c) == expected,
                   raw ? "the raw CSV holds the stored texts exactly"
                       : "the CSV holds the stored texts, a formula's after an apostrophe");
      }
    }
  }
  return 0;
}
