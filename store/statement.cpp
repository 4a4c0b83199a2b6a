#include "store/statement.h"

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
  // The name after the word "from" (in any case): the first run of
  // characters up to a blank, a comma or a semicolon. Read by hand: an
  // append asks for it, and a regular expression would be compiled in the
  // middle of a guardian's first filing.
  const auto word = [](QChar c) { return c.unicode() < 128 && (c.isLetterOrNumber() || c == u'_'); };
  const auto blank = [](QChar c) { return c.unicode() < 128 && c.isSpace(); };
  const QLatin1StringView from("from");
  for (qsizetype at = head.indexOf(from, 0, Qt::CaseInsensitive); at >= 0;
       at = head.indexOf(from, at + 1, Qt::CaseInsensitive)) {
    if (at > 0 && word(head.at(at - 1)))
      continue;
    qsizetype name = at + from.size();
    while (name < head.size() && blank(head.at(name)))
      ++name;
    if (name == at + from.size())
      continue;
    qsizetype end = name;
    while (end < head.size() && !blank(head.at(end)) && head.at(end) != u',' && head.at(end) != u';')
      ++end;
    if (end > name)
      return head.mid(name, end - name);
  }
  return QString();
}
