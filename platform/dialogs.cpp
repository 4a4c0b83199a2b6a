#include "platform/dialogs.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace dialogs {

namespace {
QString g_caption;
Responder g_responder;

Answer show(Kind kind, const QString &text) {
  const QString title = kind == Kind::YesNo ? QStringLiteral("Warning") : caption();
  if (g_responder)
    return g_responder({kind, text, title});
  QMessageBox box(kind == Kind::Error   ? QMessageBox::Critical
                  : kind == Kind::YesNo ? QMessageBox::Warning
                                        : QMessageBox::NoIcon,
                  title, displayText(text), QMessageBox::NoButton, QApplication::activeWindow());
  box.setTextFormat(Qt::PlainText);
  box.setAccessibleName(title);
  box.setAccessibleDescription(text);
  if (kind == Kind::YesNo) {
    QPushButton *yes = box.addButton(QMessageBox::Yes);
    QPushButton *no = box.addButton(QMessageBox::No);
    box.setDefaultButton(yes);
    box.setEscapeButton(no);
    yes->setText(QStringLiteral("&Yes"));
    no->setText(QStringLiteral("&No"));
    box.exec();
    if (box.clickedButton() == yes)
      return Answer::Yes;
    if (box.clickedButton() == no)
      return Answer::No;
    return Answer::Closed;
  }
  box.addButton(QMessageBox::Ok);
  box.exec();
  return Answer::Ok;
}
} // namespace

QString caption() { return g_caption.isEmpty() ? QApplication::applicationDisplayName() : g_caption; }
void setCaption(const QString &text) { g_caption = text; }

void message(const QString &text) { show(Kind::Message, text); }
Answer yesNo(const QString &text) { return show(Kind::YesNo, text); }
void error(const QString &text) { show(Kind::Error, text); }

void setResponder(Responder responder) { g_responder = std::move(responder); }
void clearResponder() { g_responder = nullptr; }

QString displayText(const QString &text) {
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return shown;
}

} // namespace dialogs
