#pragma once
// The filing's steps over the main window's two query objects, each the one
// statement the store answers for it. A step closes the query object, sets
// its statement and opens it: the result stays open for the caller to read
// (rowCount, fields by name) until the next step on that object. The windows
// (main/, form/) take these steps in their handlers; the benchmarks' scripted
// client takes the same ones, so every statement is written here alone.
//
//   filing::countQuota(*BDOTab, kindergarten);        // BDOTab: 姓名 of every application
//   if (place && quota::full(*place, BDOTab->rowCount())) ...
//
// Store failures raise what the query object raises (StoreError,
// AppendRefused).

#include "store/queryobject.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QVariant>

namespace filing {

// The statement heads; the compared value and a closing single quote follow.
extern const QString kLookupHead; // select 姓名,...,填报日期 from lz_yjxxk where 身份证号='
extern const QString kQuotaHead;  // select 姓名 from lz_yjxxk where 申请幼儿园名称='
extern const QString kDuplicateHead; // select 身份证号,姓名,申请幼儿园名称,部别 from lz_yjxxk where 身份证号='
extern const QString kGroupCountHead; // select * from lz_xzcz where 村或社区='

// The start-up gate: the filing switch 幼儿园填报 and the client version the
// store requires, 幼儿园版本 (ADOTab).
void selectSwitch(QueryObject &ADOTab);
// The start-up gate: the server's date and time as 日期 (ADOTab).
void selectServerTime(QueryObject &ADOTab);
// The lookup: the application stored for the identity number (ADOTab, whose
// result the grid shows).
void lookup(QueryObject &ADOTab, const QString &number);
// The community step of the form: the community's row of lz_xzcz, 组数
// (BDOTab).
void countGroups(QueryObject &BDOTab, const QString &community);
// The quota count: one row for every application stored for the
// kindergarten (BDOTab).
void countQuota(QueryObject &BDOTab, const QString &kindergarten);
// The duplicate check: the application stored for the identity number, with
// 姓名 and 申请幼儿园名称 (BDOTab).
void checkDuplicate(QueryObject &BDOTab, const QString &number);

// The columns of a new application, in the order they are set.
using Columns = QList<QPair<QString, QVariant>>;
// The guarded append: a new row of ADOTab's open lookup result with the
// columns, posted with the guard on its kindergarten (申请幼儿园名称, the
// store's count against the capacity) and its identity number (身份证号,
// one application per child), which the store re-checks in the same atomic
// step as the insert. Raises AppendRefused when the store refuses it.
void append(QueryObject &ADOTab, const Columns &columns);

// The appointment notice of a found application, for its kindergarten: the
// text of the main window's appointment strip, also printed on the
// district's paper form.
QString appointmentNotice(const QString &kindergarten);

} // namespace filing
