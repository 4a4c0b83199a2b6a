// kgadmin fill, upgrade, correct, withdraw and history: how full each
// kindergarten is, and changes to stored applications on the record.

#include "tools/admin.h"

#include "core/gbk.h"
#include "filing/catchment.h"
#include "store/records.h"

#include <QDate>
#include <QDateTime>
#include <QRegularExpression>
#include <QThread>

#include <cstdio>
#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace admin {

namespace {

// Text padded to a width in screen columns (a Chinese character takes two,
// as it takes two GBK bytes).
QString padded(const QString &text, int columns, bool right = false) {
  const QString blanks(qMax(0, columns - gbk::byteLength(text)), QLatin1Char(' '));
  return right ? blanks + text : text + blanks;
}

struct Fill {
  int stored = 0;
  QString last; // recording time of the newest application
};

// Stored applications and the newest recording time of each kindergarten.
QMap<QString, Fill> storedPerKindergarten(Store &store, bool withTimes) {
  const QString statement = withTimes ? QStringLiteral("select 申请幼儿园名称, count(*), max(记录时间) from lz_yjxxk "
                                                       "group by 申请幼儿园名称")
                                      : QStringLiteral("select 申请幼儿园名称, count(*), null from lz_yjxxk "
                                                       "group by 申请幼儿园名称");
  QMap<QString, Fill> fills;
  for (const QVariantList &row : store.run(statement))
    fills.insert(row.at(0).toString(), Fill{row.at(1).toInt(), recordedText(row.at(2))});
  return fills;
}

void printFill(Store &store) {
  const bool withTimes = schema::hasRecords(store.connection());
  QMap<QString, Fill> fills = storedPerKindergarten(store, withTimes);
  out() << "fill of " << store.location().describe() << " at " << shown(store.value(QStringLiteral("select getdate()")))
        << "\n";
  out() << padded(QStringLiteral("kindergarten"), 24) << padded(QStringLiteral("capacity"), 9, true)
        << padded(QStringLiteral("stored"), 8, true) << padded(QStringLiteral("left"), 6, true) << "  full  "
        << "last place taken\n";
  int capacity = 0;
  int stored = 0;
  int left = 0;
  int full = 0;
  for (const quota::Entry &entry : quota::table()) {
    const QString name = QString::fromUtf8(entry.kindergarten);
    const Fill fill = fills.take(name);
    const int places = qMax(0, entry.capacity - fill.stored);
    const bool isFull = quota::full(entry, fill.stored);
    capacity += entry.capacity;
    stored += fill.stored;
    left += places;
    full += isFull ? 1 : 0;
    out() << padded(name, 24) << padded(QString::number(entry.capacity), 9, true)
          << padded(QString::number(fill.stored), 8, true) << padded(QString::number(places), 6, true) << "  "
          << (isFull ? "yes " : "no  ") << "  "
          << (fill.stored == 0 ? QStringLiteral("-")
              : withTimes      ? fill.last
                               : QStringLiteral("(kgadmin upgrade)"))
          << "\n";
  }
  out() << padded(QStringLiteral("all twelve"), 24) << padded(QString::number(capacity), 9, true)
        << padded(QString::number(stored), 8, true) << padded(QString::number(left), 6, true) << "  " << full
        << " of 12 full\n";
  // Rows for a name the quota table does not know: none come from the
  // client, whose lists offer only the twelve.
  for (auto other = fills.cbegin(); other != fills.cend(); ++other)
    out() << "  also stored, outside the quota table: \"" << other.key() << "\" " << other.value().stored << "\n";
  out().flush();
}

// The columns a correction may change, with the values each may take.
struct Rule {
  const char *column;
  int maxBytes;                                // GBK bytes; 0: a date
  std::initializer_list<const char *> choices; // fixed items; empty: free text
};

const Rule kRules[] = {
    {"姓名", 12, {}},
    {"性别", 2, {"男", "女"}},
    {"身份证号", 18, {}},
    {"申请幼儿园名称", 40, {}},
    {"部别", 4, {"小班"}},
    {"民族", 10, {}},
    {"出生日期", 0, {}},
    {"区县", 6, {"澄岭区"}},
    {"镇乡或街道", 8, {"东澄街道", "西岭街道"}},
    {"村或社区", 40, {}},
    {"组", 10, {}},
    {"户主姓名", 12, {}},
    {"户主与儿童关系", 4, {"父子", "母子", "其他"}},
    {"户口簿详细地址", 50, {}},
    {"入户日期", 0, {}},
    {"监护人一姓名", 12, {}},
    {"监护人一电话", 11, {}},
    {"监护人二姓名", 12, {}},
    {"监护人二电话", 11, {}},
    {"填报日期", 0, {}},
};

const Rule &ruleOf(const QString &column) {
  for (const Rule &rule : kRules) {
    if (column == QString::fromUtf8(rule.column))
      return rule;
  }
  throw UsageError{QStringLiteral("correct: \"%1\" is not a column of an application (one of %2)")
                       .arg(column, schema::applicationColumns().join(QStringLiteral(", ")))};
}

bool hasControlCharacter(const QString &text) {
  for (const QChar c : text) {
    if (c.unicode() < 0x20 || c.unicode() == 0x7f)
      return true;
  }
  return false;
}

// The value as the store keeps it; raises UsageError for one the client
// could never have written.
QVariant checkedValue(const QString &column, const QString &value, const StoreDriver &driver) {
  const Rule &rule = ruleOf(column);
  const auto refuse = [&](const QString &why) {
    throw UsageError{QStringLiteral("correct: \"%1\" cannot be %2: %3").arg(column, value, why)};
  };
  if (!gbk::encodable(value))
    refuse(QStringLiteral("a character has no GBK form"));
  if (hasControlCharacter(value))
    refuse(QStringLiteral("control characters are not allowed"));
  if (rule.maxBytes == 0) {
    static const QRegularExpression dateForm(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
    const QDate date = QDate::fromString(value, QStringLiteral("yyyy-MM-dd"));
    if (!dateForm.match(value).hasMatch() || !date.isValid() || date.year() < 1900)
      refuse(QStringLiteral("not a date of the form yyyy-MM-dd"));
    if (column == QStringLiteral("填报日期"))
      return driver.filingDate(date);
    return value;
  }
  if (std::size(rule.choices) > 0) {
    QStringList items;
    for (const char *item : rule.choices)
      items << QString::fromUtf8(item);
    if (!items.contains(value))
      refuse(QStringLiteral("one of %1").arg(items.join(QStringLiteral(", "))));
    return value;
  }
  if (column == QStringLiteral("身份证号") && gbk::byteLength(value) != 18)
    refuse(QStringLiteral("an identity number is 18 bytes"));
  if (column == QStringLiteral("申请幼儿园名称") && !quota::find(value))
    refuse(QStringLiteral("not one of the twelve kindergartens"));
  if (gbk::byteLength(value) > rule.maxBytes)
    refuse(QStringLiteral("longer than %1 bytes").arg(rule.maxBytes));
  return value;
}

// The stored application of the number, or a StoreError saying there is none.
QVariantList applicationOf(Store &store, const QString &number) {
  const QList<QVariantList> rows = store.run(
      QStringLiteral("select %1 from lz_yjxxk where 身份证号 = ?").arg(schema::applicationColumns().join(',')),
      {number});
  if (rows.isEmpty())
    throw StoreError(QStringLiteral("no application is stored under the identity number \"%1\"").arg(number));
  return rows.first();
}

QString reasonOf(QStringList &args) {
  const QString reason = takeOption(args, QStringLiteral("--reason"));
  if (reason.trimmed().isEmpty())
    throw UsageError{QStringLiteral("%1: --reason TEXT is required, saying why").arg(args.at(0))};
  if (hasControlCharacter(reason) || !gbk::encodable(reason))
    throw UsageError{
        QStringLiteral("%1: the reason holds a control character or a character without a GBK form").arg(args.at(0))};
  return reason;
}

// Holds off the client's appends for the rest of the transaction, so that
// a correction's quota check and its update see the same count.
void lockApplications(Store &store) {
  // (The embedded store's transaction writes from its start.)
  if (const QString hold = store.driver().holdAppendsStatement(); !hold.isEmpty())
    store.run(hold);
}

// Runs change inside one transaction on the record as operation.
template <typename Change> void onRecord(Store &store, const QString &operation, const QString &reason, Change change) {
  store.begin();
  try {
    lockApplications(store);
    schema::setAuditContext(store.connection(), operatorName(), operation, reason);
    change();
    schema::clearAuditContext(store.connection());
    store.commit();
  } catch (...) {
    store.rollback();
    throw;
  }
}

} // namespace

int fill(const QStringList &arguments) {
  QStringList args = arguments;
  const bool watch = takeFlag(args, QStringLiteral("--watch"));
  expectStoreArguments(args, 2);
  const StoreLocation location = storeArgument(args, 1);
  auto store = std::make_unique<Store>(location);
  store->requireTables();
  if (!watch) {
    printFill(*store);
    return kDone;
  }
  const bool terminal = isatty(fileno(stdout));
  for (;;) {
    if (terminal)
      out() << "\x1b[H\x1b[2J";
    try {
      if (!store)
        store = std::make_unique<Store>(location);
      printFill(*store);
    } catch (const StoreError &error) {
      // The store stopped answering: say so, and try again next second.
      out() << "store not answering at " << QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss")) << ": "
            << error.message() << "\n";
      out().flush();
      store.reset();
    }
    QThread::sleep(1);
  }
}

int upgrade(const QStringList &args) {
  expectStoreArguments(args, 2);
  Store store(storeArgument(args, 1));
  store.requireTables();
  const int rows = store.value(QStringLiteral("select count(*) from lz_yjxxk")).toInt();
  if (schema::addRecords(store.connection()))
    out() << "upgrade: added 记录时间 to lz_yjxxk and the correction record lz_xgjl to " << store.location().describe()
          << "; the " << rows << " application(s) stored before keep an unknown recording time\n";
  else
    out() << "upgrade: " << store.location().describe()
          << " already has the recording time and the correction record\n";
  const bool added = schema::addQuotas(store.connection());
  out() << "upgrade: " << (added ? "added lz_yeyme with" : "lz_yeyme now holds")
        << " the capacities of the client's quota table (" << quota::table().size() << " kindergartens)";
  if (added && store.driver().appendOnServer())
    out() << "; the store's append now counts against them: grant the client's login again with kgadmin "
             "create-login";
  out() << "\n";
  return kDone;
}

int correct(const QStringList &arguments) {
  QStringList args = arguments;
  const QString reason = reasonOf(args);
  expectStoreArguments(args, 5);
  const StoreLocation location = storeArgument(args, 1);
  const QString number = args.at(2);
  const QString column = args.at(3);
  Store store(location);
  store.requireRecords();
  const QVariant value = checkedValue(column, args.at(4), store.driver());
  QString before;
  bool recorded = false;
  onRecord(store, QStringLiteral("更正"), reason, [&] {
    const QVariantList row = applicationOf(store, number);
    before = shown(row.at(schema::applicationColumns().indexOf(column)));
    if (column == QStringLiteral("申请幼儿园名称") && value.toString() != before) {
      const quota::Entry *entry = quota::find(value.toString());
      const int stored =
          store.value(QStringLiteral("select count(*) from lz_yjxxk where 申请幼儿园名称 = ?"), {value}).toInt();
      if (entry && quota::full(*entry, stored))
        throw StoreError(QStringLiteral("%1 is full (%2 of %3 places taken); nothing changed")
                             .arg(value.toString())
                             .arg(stored)
                             .arg(entry->capacity));
    }
    if (column == QStringLiteral("身份证号") && value.toString() != number &&
        store.value(QStringLiteral("select count(*) from lz_yjxxk where 身份证号 = ?"), {value}).toInt() > 0)
      throw StoreError(
          QStringLiteral("an application is already stored under \"%1\"; nothing changed").arg(value.toString()));
    const int records = store.value(QStringLiteral("select count(*) from lz_xgjl")).toInt();
    store.run(QStringLiteral("update lz_yjxxk set %1 = ? where 身份证号 = ?").arg(column), {value, number});
    recorded = store.value(QStringLiteral("select count(*) from lz_xgjl")).toInt() > records;
  });
  if (!recorded) {
    out() << "correct: " << number << " " << column << " is \"" << before
          << "\" already; nothing changed, nothing recorded\n";
    return kDone;
  }
  out() << "correct: " << number << " " << column << ": \"" << before << "\" -> \"" << args.at(4)
        << "\" (recorded in lz_xgjl)\n";
  return kDone;
}

int withdraw(const QStringList &arguments) {
  QStringList args = arguments;
  const QString reason = reasonOf(args);
  expectStoreArguments(args, 3);
  const QString number = args.at(2);
  Store store(storeArgument(args, 1));
  store.requireRecords();
  QString kindergarten;
  onRecord(store, QStringLiteral("撤回"), reason, [&] {
    const QVariantList row = applicationOf(store, number);
    kindergarten = row.at(schema::applicationColumns().indexOf(QStringLiteral("申请幼儿园名称"))).toString();
    store.run(QStringLiteral("delete from lz_yjxxk where 身份证号 = ?"), {number});
  });
  out() << "withdraw: the application of " << number << " for " << kindergarten
        << " is withdrawn and its place free again (recorded in lz_xgjl)\n";
  return kDone;
}

int history(const QStringList &args) {
  if (args.size() != 2 && args.size() != 3)
    expectStoreArguments(args, 2);
  Store store(storeArgument(args, 1));
  store.requireRecords();
  const QString select =
      QStringLiteral("select 序号, 时间, 操作人, 操作, 身份证号, 列名, 原值, 新值, 原因 from lz_xgjl");
  const QList<QVariantList> rows =
      args.size() == 3 ? store.run(select + QStringLiteral(" where 身份证号 = ? order by 序号"), {args.at(2)})
                       : store.run(select + QStringLiteral(" order by 序号"));
  for (const QVariantList &row : rows) {
    out() << row.at(0).toString() << "  " << recordedText(row.at(1)) << "  " << row.at(2).toString() << "  "
          << row.at(3).toString() << "  " << row.at(4).toString() << "  [" << row.at(5).toString() << "]  "
          << shown(row.at(6)) << " -> " << shown(row.at(7));
    if (!row.at(8).isNull())
      out() << "  because: " << row.at(8).toString();
    out() << "\n";
  }
  out() << rows.size() << " change(s) on record\n";
  return kDone;
}

} // namespace admin
