// kgadmin export: the stored applications in the order of their recording,
// as a spreadsheet (one sheet per kindergarten and a summary) or as CSV.

#include "tools/admin.h"

#include "filing/catchment.h"
#include "store/records.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>
#include <QUuid>

#include <xlsxwriter.h>

namespace admin {

namespace {

struct Application {
  QStringList values; // the twenty columns and the recording time, as text
  QString kindergarten;
};

QString cellText(const QVariant &value) {
  if (value.isNull())
    return {};
  if (value.typeId() == QMetaType::QDateTime)
    return value.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
  return value.toString();
}

QStringList exportedColumns() { return schema::applicationColumns() + QStringList{QStringLiteral("记录时间")}; }

// The applications in the order of recording; those recorded before the
// store kept the time come first, in the order of their filing date.
QList<Application> applications(Store &store, const QString &kindergarten) {
  const QString where = kindergarten.isEmpty() ? QString() : QStringLiteral(" where 申请幼儿园名称 = ?");
  const QString nullsFirst = store.driver().nullsFirst();
  const QString statement =
      QStringLiteral("select %1, 记录时间 from lz_yjxxk%2 order by 记录时间%3, 填报日期, 身份证号")
          .arg(schema::applicationColumns().join(QLatin1Char(',')), where, nullsFirst);
  QList<Application> list;
  const int kindergartenColumn = schema::applicationColumns().indexOf(QStringLiteral("申请幼儿园名称"));
  const int recorded = schema::applicationColumns().size();
  for (const QVariantList &row :
       store.run(statement, kindergarten.isEmpty() ? QVariantList() : QVariantList{kindergarten})) {
    Application application;
    for (int i = 0; i < recorded; ++i)
      application.values << cellText(row.at(i));
    application.values << recordedText(row.at(recorded));
    application.kindergarten = application.values.at(kindergartenColumn);
    list << application;
  }
  return list;
}

// A cell a spreadsheet would take for a formula (it begins with =, +, - or
// @, or with a tab or a carriage return, which some spreadsheets skip before
// such a sign) is written with a leading apostrophe, which the spreadsheet
// shows the cell as text by; raw: as stored.
QString csvField(const QString &text, bool raw) {
  QString value = text;
  static const QString formulaStarts = QStringLiteral("=+-@\t\r");
  if (!raw && !value.isEmpty() && formulaStarts.contains(value.front()))
    value.prepend(QLatin1Char('\''));
  value.replace(QLatin1Char('"'), QStringLiteral("\"\""));
  return QLatin1Char('"') + value + QLatin1Char('"');
}

void writeCsv(const QString &file, const QList<Application> &rows, bool raw) {
  QSaveFile out(file);
  if (!out.open(QIODevice::WriteOnly))
    throw StoreError(QStringLiteral("cannot write %1: %2").arg(file, out.errorString()));
  QByteArray text("\xEF\xBB\xBF"); // UTF-8 byte-order mark: spreadsheets then read the Chinese text
  QStringList header;
  for (const QString &column : exportedColumns())
    header << csvField(column, raw);
  text += header.join(QLatin1Char(',')).toUtf8() + "\r\n";
  for (const Application &row : rows) {
    QStringList fields;
    for (const QString &value : row.values)
      fields << csvField(value, raw);
    text += fields.join(QLatin1Char(',')).toUtf8() + "\r\n";
  }
  out.write(text);
  if (!out.commit())
    throw StoreError(QStringLiteral("cannot write %1: %2").arg(file, out.errorString()));
}

class Workbook {
public:
  // libxlsxwriter takes the file's name as UTF-8 on every system, not in
  // the ANSI code page: its Windows build (scripts/windows.sh) widens it.
  explicit Workbook(const QString &file) : m_file(file.toUtf8()) {
    lxw_workbook_options options{};
    options.constant_memory = LXW_FALSE;
    m_book = workbook_new_opt(m_file.constData(), &options);
    if (!m_book)
      throw StoreError(QStringLiteral("cannot write %1").arg(file));
    m_header = workbook_add_format(m_book);
    format_set_bold(m_header);
    format_set_bg_color(m_header, 0xDDEBF7);
    m_text = workbook_add_format(m_book);
    format_set_num_format(m_text, "@");
  }
  ~Workbook() {
    if (m_book)
      workbook_close(m_book); // only after a failure: the file is removed then
  }
  // A sheet for a name, as a spreadsheet takes names: a stored kindergarten
  // that no quota row names may hold any text, and gets a sheet all the same.
  lxw_worksheet *sheet(const QString &name) {
    const QString usable = sheetName(name);
    lxw_worksheet *sheet = workbook_add_worksheet(m_book, usable.toUtf8().constData());
    if (!sheet)
      throw StoreError(QStringLiteral("cannot add the sheet %1").arg(usable));
    m_names << usable;
    return sheet;
  }
  void header(lxw_worksheet *sheet, const QStringList &titles, const QList<double> &widths) {
    for (int c = 0; c < titles.size(); ++c) {
      worksheet_write_string(sheet, 0, lxw_col_t(c), titles.at(c).toUtf8().constData(), m_header);
      worksheet_set_column(sheet, lxw_col_t(c), lxw_col_t(c), widths.value(c, 12), m_text);
    }
    worksheet_freeze_panes(sheet, 1, 0);
  }
  // Every value is written as text: identity numbers and phone numbers
  // stay digits, never numbers, and leading blanks stay.
  void text(lxw_worksheet *sheet, int row, int column, const QString &value) {
    const lxw_error error =
        worksheet_write_string(sheet, lxw_row_t(row), lxw_col_t(column), value.toUtf8().constData(), m_text);
    if (error != LXW_NO_ERROR)
      throw StoreError(QStringLiteral("cannot write the value \"%1\" (row %2, column %3): %4")
                           .arg(value.left(40), QString::number(row + 1), QString::number(column + 1),
                                QString::fromUtf8(lxw_strerror(error))));
  }
  void number(lxw_worksheet *sheet, int row, int column, double value) {
    worksheet_write_number(sheet, lxw_row_t(row), lxw_col_t(column), value, nullptr);
  }
  void close(const QString &file) {
    const lxw_error error = workbook_close(m_book);
    m_book = nullptr;
    if (error != LXW_NO_ERROR)
      throw StoreError(QStringLiteral("cannot write %1: %2").arg(file, QString::fromUtf8(lxw_strerror(error))));
  }

private:
  // At most 31 characters, none of []:*?/\ nor a control character, no
  // apostrophe at either end, unique regardless of case; a name cut or
  // changed for that keeps its full text in the summary sheet.
  QString sheetName(const QString &name) const {
    QList<uint> characters;
    for (const uint c : name.toUcs4())
      characters << (c < 0x20 || QStringLiteral("[]:*?/\\").contains(QChar(c)) ? uint('_') : c);
    while (!characters.isEmpty() && characters.first() == '\'')
      characters.removeFirst();
    // Cut first, then drop the apostrophes the cut may have left at the end.
    const auto text = [](QList<uint> ucs4, qsizetype max) {
      ucs4.resize(qMin(ucs4.size(), max));
      while (!ucs4.isEmpty() && ucs4.last() == '\'')
        ucs4.removeLast();
      return QString::fromUcs4(reinterpret_cast<const char32_t *>(ucs4.constData()), ucs4.size());
    };
    if (text(characters, LXW_SHEETNAME_MAX).isEmpty())
      characters = {uint('_')};
    QString usable = text(characters, LXW_SHEETNAME_MAX);
    for (int n = 2; m_names.contains(usable, Qt::CaseInsensitive); ++n) {
      const QString suffix = QStringLiteral(" (%1)").arg(n);
      usable = text(characters, LXW_SHEETNAME_MAX - suffix.size()) + suffix;
    }
    return usable;
  }

  QByteArray m_file;
  QStringList m_names; // the sheets' names so far
  lxw_workbook *m_book = nullptr;
  lxw_format *m_header = nullptr;
  lxw_format *m_text = nullptr;
};

void applicationSheet(Workbook &book, const QString &name, const QList<Application> &rows) {
  lxw_worksheet *sheet = book.sheet(name);
  QList<double> widths;
  for (const QString &column : exportedColumns())
    widths << (column == QStringLiteral("身份证号")         ? 21
               : column == QStringLiteral("户口簿详细地址") ? 36
               : column == QStringLiteral("申请幼儿园名称") ? 26
               : column == QStringLiteral("记录时间")       ? 24
                                                            : 12);
  book.header(sheet, exportedColumns(), widths);
  int r = 1;
  for (const Application &row : rows) {
    for (int c = 0; c < row.values.size(); ++c)
      book.text(sheet, r, c, row.values.at(c));
    ++r;
  }
}

void writeXlsx(const QString &file, const QList<Application> &rows, const QList<QString> &kindergartens) {
  // Written beside the target and renamed at the end: an interrupted export
  // leaves no half-written file under the name asked for.
  const QFileInfo target(file);
  {
    // Whether the folder takes a new file, asked before the work is done.
    QTemporaryFile probe(target.absoluteDir().filePath(QStringLiteral(".kgadmin-export-XXXXXX")));
    if (!probe.open())
      throw StoreError(QStringLiteral("cannot write in %1: %2").arg(target.absolutePath(), probe.errorString()));
  }
  // The library creates the scratch file itself: on Windows a file that a
  // QTemporaryFile holds open until it is destroyed cannot be created again.
  const QString scratch = target.absoluteDir().filePath(
      QStringLiteral(".kgadmin-export-%1.xlsx").arg(QUuid::createUuid().toString(QUuid::Id128)));
  try {
    Workbook book(scratch);
    lxw_worksheet *summary = book.sheet(QStringLiteral("汇总"));
    book.header(summary,
                {QStringLiteral("幼儿园"), QStringLiteral("名额"), QStringLiteral("已申请"), QStringLiteral("剩余"),
                 QStringLiteral("最后记录时间")},
                {26, 8, 8, 8, 24});
    int r = 1;
    for (const QString &name : kindergartens) {
      int stored = 0;
      QString last;
      for (const Application &row : rows) {
        if (row.kindergarten == name) {
          ++stored;
          last = row.values.last();
        }
      }
      const quota::Entry *entry = quota::find(name);
      book.text(summary, r, 0, name);
      if (entry) {
        book.number(summary, r, 1, entry->capacity);
        book.number(summary, r, 3, qMax(0, entry->capacity - stored));
      }
      book.number(summary, r, 2, stored);
      book.text(summary, r, 4, last);
      ++r;
    }
    for (const QString &name : kindergartens) {
      QList<Application> own;
      for (const Application &row : rows) {
        if (row.kindergarten == name)
          own << row;
      }
      applicationSheet(book, name, own);
    }
    book.close(file);
  } catch (...) {
    QFile::remove(scratch);
    throw;
  }
  QFile::remove(file);
  QFile written(scratch);
  if (!written.rename(file)) {
    const QString why = written.errorString();
    QFile::remove(scratch);
    throw StoreError(QStringLiteral("cannot write %1: %2").arg(file, why));
  }
}

} // namespace

int exportApplications(const QStringList &arguments) {
  QStringList args = arguments;
  const QString kindergarten = takeOption(args, QStringLiteral("--kindergarten"));
  const bool replace = takeFlag(args, QStringLiteral("--replace"));
  const bool raw = takeFlag(args, QStringLiteral("--raw"));
  expectStoreArguments(args, 3);
  const StoreLocation location = storeArgument(args, 1);
  const QString file = args.at(2);
  const QString suffix = QFileInfo(file).suffix().toLower();
  if (suffix != QLatin1String("xlsx") && suffix != QLatin1String("csv"))
    throw UsageError{QStringLiteral("export: \"%1\": the file must end in .xlsx or .csv").arg(file)};
  if (!kindergarten.isEmpty() && !quota::find(kindergarten))
    throw UsageError{QStringLiteral("export: \"%1\" is not one of the twelve kindergartens").arg(kindergarten)};
  if (!QFileInfo(QFileInfo(file).absolutePath()).isDir())
    throw UsageError{QStringLiteral("export: the folder of \"%1\" does not exist").arg(file)};
  if (QFileInfo::exists(file) && !replace)
    throw UsageError{QStringLiteral("export: \"%1\" exists already; name a new file, or add --replace").arg(file)};
  if (raw && suffix != QLatin1String("csv"))
    throw UsageError{QStringLiteral("export: --raw is for CSV only (a spreadsheet file holds every value as text)")};
  Store store(location);
  store.requireRecords();
  const QList<Application> rows = applications(store, kindergarten);
  if (suffix == QLatin1String("csv")) {
    writeCsv(file, rows, raw);
  } else {
    QList<QString> sheets;
    if (!kindergarten.isEmpty()) {
      sheets << kindergarten;
    } else {
      for (const quota::Entry &entry : quota::table())
        sheets << QString::fromUtf8(entry.kindergarten);
      // A kindergarten the quota table does not know gets a sheet too.
      for (const Application &row : rows) {
        if (!sheets.contains(row.kindergarten))
          sheets << row.kindergarten;
      }
    }
    writeXlsx(file, rows, sheets);
  }
  out() << "export: " << rows.size() << " application(s) written to " << file;
  if (suffix == QLatin1String("csv"))
    out() << (raw ? " (as stored, formulas too)" : " (a cell beginning with = + - @ written after an apostrophe)");
  out() << "\n";
  return kDone;
}

} // namespace admin
