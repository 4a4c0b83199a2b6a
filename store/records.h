#pragma once
// What the store keeps about its applications beyond the twenty columns the
// client writes: the time each row was recorded (记录时间, filled by the
// store itself on its own clock, to the millisecond) and the record of every
// change made afterwards (lz_xgjl, written by triggers on every update and
// delete of lz_yjxxk, whoever makes it).
//
//   lz_xgjl  序号, 时间, 操作人, 操作 (更正 / 撤回 / 修改 / 删除), 身份证号,
//            列名 (the changed columns, or * for a removed row),
//            原值 and 新值 (JSON objects of those columns), 原因
//
// The client neither sends nor selects any of it. kgadmin's corrections say
// who, which operation and why through the audit context, which the
// triggers read; a change made straight in SQL is recorded as 修改 or 删除
// by the store's login.

#include "store/schema.h"

// Each server's driver (store/driver.h) holds its statements for these; this
// file holds what they share.

#include <QString>
#include <QStringList>

namespace schema {

extern const char *const kRecordedColumn; // "记录时间"
extern const char *const kAuditTable;     // "lz_xgjl"

// The twenty columns of lz_yjxxk and the recording time.
QStringList recordedColumns();
// The create statement of lz_xgjl in a server's types.
QString auditTableSql(const QString &serial, const QString &stamp, const QString &stampDefault, const QString &text,
                      const QString &longText);

// The statements that add the recording time and the change record to a
// store whose tables createStatements made. Rows already stored keep an
// unknown (null) recording time.
QStringList recordStatements(Dialect dialect);
// The statements that drop what recordStatements made (before the tables).
QStringList dropRecordStatements(Dialect dialect);

// Whether the store has the recording time column.
bool hasRecords(StoreBackend &connection);
// Adds the recording time and the change record when the store lacks them,
// in one transaction; false when it had them already. Raises StoreError.
bool addRecords(StoreBackend &connection);

// Who makes the changes of the current transaction, as which operation and
// why; the triggers copy it into lz_xgjl. Call inside a transaction: it ends
// with the transaction (clearAuditContext removes it earlier where the
// server keeps it in a table).
void setAuditContext(StoreBackend &connection, const QString &who, const QString &operation, const QString &reason);
void clearAuditContext(StoreBackend &connection);

} // namespace schema
