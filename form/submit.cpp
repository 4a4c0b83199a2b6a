// 提交申报表: the checks of the entries against the identity number and for
// completeness, then the quota, the three confirmations, the duplicate check
// and the recording of the application.

#include "form/unit2.h"

#include "core/convert.h"
#include "core/datetime.h"
#include "core/gbk.h"
#include "filing/catchment.h"
#include "filing/steps.h"
#include "main/unit1.h"
#include "platform/dialogs.h"

#include <QApplication>

namespace {

QString duplicateMessage(const QString &name, const QString &kindergarten) {
  return QStringLiteral("[") + name + QStringLiteral("]已在[") + kindergarten +
         QStringLiteral("]申请成功.不能再进行填报");
}

QString dateText(const QDateTimeEdit *picker) {
  return datetime::dateToStr(datetime::fromQDateTime(picker->dateTime()));
}

} // namespace

void TForm2::qdBitClick(QObject *Sender) {
  // The entries against the identity number and for completeness; nothing
  // here touches the store.
  xmEdit->setText(gbk::trim(xmEdit->text()));
  if (xmEdit->text().isEmpty()) {
    dialogs::message(QStringLiteral("请将【姓名】录入后再进行."));
    return;
  }
  const QString number = sfzEdit->text();
  const QString expectedSex =
      strToInt(gbk::bytesAt(number, 17, 1)) % 2 != 0 ? QStringLiteral("男") : QStringLiteral("女");
  if (xbCom->currentText().isEmpty()) {
    dialogs::message(QStringLiteral("请选择【性别】后再进行提交"));
    return;
  }
  if (xbCom->currentText() != expectedSex) {
    dialogs::message(QStringLiteral("所填【性别】与【身份证号性别】不相符,请重新选择"));
    return;
  }
  const QString birthText = gbk::bytesAt(number, 7, 4) + QLatin1Char('-') + gbk::bytesAt(number, 11, 2) +
                            QLatin1Char('-') + gbk::bytesAt(number, 13, 2);
  if (dateText(DateTimePicker2) != birthText) {
    dialogs::message(QStringLiteral("所填【出生日期】与【身份证号出生日期】不相符,请重新填报"));
    return;
  }
  const TDateTime registered = datetime::fromQDateTime(DateTimePicker1->dateTime());
  if (datetime::earlier(datetime::strToDate(QStringLiteral("2022-06-21")), registered)) {
    dialogs::message(QStringLiteral("对不起,你所填的儿童入户时间晚于今天,表示还没有入户,请核对后再进行."));
    return;
  }
  if (datetime::earlier(registered, datetime::strToDate(birthText))) {
    dialogs::message(QStringLiteral("对不起,该生还没有出生就入户,不符合政策,请核对后再进行."));
    return;
  }
  for (const QString &text : {qxCom->currentText(), xzjdCom->currentText(), csqCom->currentText(), zCom->currentText(),
                              fzxmEdit->text(), gxCom->currentText(), xxdzEdit->text()})
    if (text.isEmpty()) {
      dialogs::message(QStringLiteral("【户籍信息】不完善,请重新填写"));
      return;
    }
  if (yrymcCom->currentText().isEmpty() || bbCom->currentText().isEmpty()) {
    dialogs::message(QStringLiteral("【幼儿园信息】不完善,请重新填写"));
    return;
  }
  if (fqxmEdit->text().isEmpty() || fqdhEdit->text().isEmpty()) {
    dialogs::message(QStringLiteral("至少填一个【监护信息】,请重新填写"));
    return;
  }

  // The quota of the chosen kindergarten, counted in the store.
  QueryObject *BDOTab = Form1->BDOTab;
  const QString kindergarten = yrymcCom->currentText();
  const QString grade = bbCom->currentText();
  try {
    filing::countQuota(*BDOTab, kindergarten);
  } catch (...) {
    dialogs::message(QStringLiteral("网络问题,操作失败."));
    BDOTab->close();
    return;
  }
  const quota::Entry *place = quota::find(kindergarten);
  if (place && quota::full(*place, BDOTab->rowCount())) {
    dialogs::message(quota::refusal(*place, kindergarten));
    BDOTab->close();
    return;
  }

  // Three confirmations; only No ends the submission.
  if (dialogs::yesNo(QStringLiteral("警告!\r\r    你申请的幼儿园是[") + kindergarten + QStringLiteral("][") + grade +
                     QStringLiteral("],并仔细核对幼儿的入户时间,如检查如果无误请选择[Yes]继续,否则选择[No]修改重报,"
                                    "请选择?")) == dialogs::Answer::No)
    return;
  if (dialogs::yesNo(QStringLiteral("警告!\r\r    你填报的信息必须与实际情况相符,如有出入,则放弃对[") + kindergarten +
                     QStringLiteral("][") + grade + QStringLiteral("]的入学申请\r\r请仔细考虑是否继续?")) ==
      dialogs::Answer::No)
    return;
  if (dialogs::yesNo(QStringLiteral("警告!\r\r    请认真检查,仔细考虑一旦提交将无法修改,是否一定[提交申报表]?")) ==
      dialogs::Answer::No)
    return;

  // One application per child.
  try {
    filing::checkDuplicate(*BDOTab, number);
  } catch (...) {
    dialogs::message(QStringLiteral("网络问题,操作失败."));
    BDOTab->close();
    return;
  }
  if (BDOTab->rowCount() > 0) {
    dialogs::message(duplicateMessage(BDOTab->fieldAsString(QStringLiteral("姓名")),
                                      BDOTab->fieldAsString(QStringLiteral("申请幼儿园名称"))));
    Form1->BitBtn1Click(Sender);
    return;
  }

  // The record. The store re-checks the quota (by its own capacities, which
  // kgadmin fills from the same quota table) and the number in the same
  // atomic step as the insert, against what other clients stored since the
  // checks above.
  QueryObject *ADOTab = Form1->ADOTab;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  try {
    filing::append(*ADOTab, {
                                {QStringLiteral("身份证号"), number},
                                {QStringLiteral("姓名"), xmEdit->text()},
                                {QStringLiteral("性别"), xbCom->currentText()},
                                {QStringLiteral("民族"), QStringLiteral("汉族")},
                                {QStringLiteral("出生日期"), dateText(DateTimePicker2)},
                                {QStringLiteral("区县"), qxCom->currentText()},
                                {QStringLiteral("镇乡或街道"), xzjdCom->currentText()},
                                {QStringLiteral("村或社区"), csqCom->currentText()},
                                {QStringLiteral("组"), zCom->currentText()},
                                {QStringLiteral("户主姓名"), fzxmEdit->text()},
                                {QStringLiteral("户主与儿童关系"), gxCom->currentText()},
                                {QStringLiteral("户口簿详细地址"), gbk::trim(xxdzEdit->text())},
                                {QStringLiteral("监护人一姓名"), gbk::trim(fqxmEdit->text())},
                                {QStringLiteral("监护人一电话"), gbk::trim(fqdhEdit->text())},
                                {QStringLiteral("监护人二姓名"), gbk::trim(mqxmEdit->text())},
                                {QStringLiteral("监护人二电话"), gbk::trim(mqdhEdit->text())},
                                {QStringLiteral("申请幼儿园名称"), gbk::trim(kindergarten)},
                                {QStringLiteral("部别"), gbk::trim(grade)},
                                {QStringLiteral("填报日期"), datetime::toQDateTime(Form1->serverDate)},
                                {QStringLiteral("入户日期"), dateText(DateTimePicker1)},
                            });
  } catch (const AppendRefused &refusal) {
    // Another client took the last place or filed this child meanwhile:
    // nothing was stored and the form stays open. (A store that counts a
    // quota the client's table does not know fails as any store step does.)
    if (refusal.reason() == AppendRefused::Reason::QuotaFull && !place) {
      dialogs::message(QStringLiteral("网络问题,提交申请表失败,请重新进行"));
      close();
      QApplication::restoreOverrideCursor();
      return;
    }
    QApplication::restoreOverrideCursor();
    if (refusal.reason() == AppendRefused::Reason::QuotaFull) {
      dialogs::message(quota::refusal(*place, kindergarten));
    } else {
      const QVariantMap stored = refusal.existing();
      dialogs::message(duplicateMessage(stored.value(QStringLiteral("姓名")).toString(),
                                        stored.value(QStringLiteral("申请幼儿园名称")).toString()));
      Form1->BitBtn1Click(Sender);
    }
    return;
  } catch (...) {
    dialogs::message(QStringLiteral("网络问题,提交申请表失败,请重新进行"));
    close();
    QApplication::restoreOverrideCursor();
    return;
  }
  // The row is stored: from here on nothing may tell the guardian that the
  // submission failed. A failed re-run only leaves the old result; the
  // lookup below runs the statement again and reports a store failure itself.
  try {
    ADOTab->requery();
  } catch (...) {
  }
  QApplication::restoreOverrideCursor();
  dialogs::message(QStringLiteral("恭喜！\r\r   申请表提交成功,请到指定地点上交材料"));
  close();
  Form1->BitBtn1Click(Sender);
}
