#pragma once
// A statement of the system: one text made of a fixed head, the value and a
// closing single quote, e.g.
//   select * from lz_xzcz where 村或社区='  +  和平社区  +  '
// The value never becomes part of the text sent to the server: it is bound
// as a parameter. render() gives the exact text the statement stands for, with
// every quote of the value doubled, for diagnostics and tests.

#include <QString>
#include <QVariant>

struct Statement {
  QString head;   // fixed text; ends with ' when a value follows
  QVariant value; // the compared value; invalid when the statement has none
  bool hasValue = false;

  static Statement plain(const QString &text);
  static Statement compare(const QString &head, const QString &value);

  // The text the statement stands for: head + value (quotes doubled) + '.
  QString render() const;
  // The text sent to the server: the head with its closing quote-literal
  // replaced by a ? placeholder.
  QString prepared() const;
  // The table named after "from", e.g. lz_yjxxk.
  QString table() const;
};
