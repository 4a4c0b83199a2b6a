#include "store/statement.h"

#include <QRegularExpression>

Statement Statement::plain(const QString &text) { return Statement{text, QVariant(), false}; }

Statement Statement::compare(const QString &head, const QString &value) {
  return Statement{head, QVariant(value), true};
}

QString Statement::render() const {
  if (!hasValue)
    return head;
  QString quoted = value.toString();
  quoted.replace(QLatin1Char('\''), QStringLiteral("''"));
  return head + quoted + QLatin1Char('\'');
}

QString Statement::prepared() const {
  if (!hasValue)
    return head;
  QString text = head;
  if (text.endsWith(QLatin1Char('\'')))
    text.chop(1);
  return text + QLatin1Char('?');
}

QString Statement::table() const {
  static const QRegularExpression from(QStringLiteral("\\bfrom\\s+([^\\s,;]+)"),
                                       QRegularExpression::CaseInsensitiveOption);
  QRegularExpressionMatch match = from.match(head);
  return match.hasMatch() ? match.captured(1) : QString();
}
