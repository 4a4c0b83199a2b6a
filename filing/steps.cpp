#include "filing/steps.h"

#include "store/backend.h"

namespace filing {

const QString kLookupHead =
    QStringLiteral("select 姓名,性别,身份证号,申请幼儿园名称,部别,民族,出生日期,区县,镇乡或街道,村或社区,组,户主姓名,"
                   "户主与儿童关系,户口簿详细地址,入户日期,监护人一姓名,监护人一电话,监护人二姓名,监护人二电话,"
                   "填报日期 from lz_yjxxk where 身份证号='");
const QString kQuotaHead = QStringLiteral("select 姓名 from lz_yjxxk where 申请幼儿园名称='");
const QString kDuplicateHead =
    QStringLiteral("select 身份证号,姓名,申请幼儿园名称,部别 from lz_yjxxk where 身份证号='");
const QString kGroupCountHead = QStringLiteral("select * from lz_xzcz where 村或社区='");

namespace {

void run(QueryObject &query, const Statement &statement) {
  query.close();
  query.setSql(statement);
  query.open();
}

} // namespace

void selectSwitch(QueryObject &ADOTab) {
  run(ADOTab, Statement::plain(QStringLiteral("select 幼儿园填报,幼儿园版本 from lz_kttb")));
}

void selectServerTime(QueryObject &ADOTab) {
  ADOTab.close();
  ADOTab.clearSql();
  ADOTab.addSql(QStringLiteral("select getdate() as 日期"));
  ADOTab.open();
}

void lookup(QueryObject &ADOTab, const QString &number) { run(ADOTab, Statement::compare(kLookupHead, number)); }

void countGroups(QueryObject &BDOTab, const QString &community) {
  run(BDOTab, Statement::compare(kGroupCountHead, community));
}

void countQuota(QueryObject &BDOTab, const QString &kindergarten) {
  run(BDOTab, Statement::compare(kQuotaHead, kindergarten));
}

void checkDuplicate(QueryObject &BDOTab, const QString &number) {
  run(BDOTab, Statement::compare(kDuplicateHead, number));
}

void append(QueryObject &ADOTab, const Columns &columns) {
  AppendGuard guard;
  guard.quotaColumn = QStringLiteral("申请幼儿园名称");
  guard.uniqueColumn = QStringLiteral("身份证号");
  ADOTab.append();
  for (const auto &[column, value] : columns) {
    ADOTab.setField(column, value);
    if (column == guard.quotaColumn)
      guard.quotaValue = value;
    else if (column == guard.uniqueColumn)
      guard.uniqueValue = value;
  }
  ADOTab.post(&guard);
}

QString appointmentNotice(const QString &kindergarten) {
  return QStringLiteral("请你于6月25日、26日上午9:30-11：30下午14:30-16:00带上相关证件到[") + kindergarten +
         QStringLiteral("]验审要件.");
}

} // namespace filing
