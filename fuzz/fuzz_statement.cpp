// The statement builder (store/statement.h) with any value, and any head, as
// the windows build their statements from a fixed head and the guardian's
// text.
//
// Checked, besides running without a crash or a sanitizer report:
// - the text a statement stands for holds the value as one quoted literal
//   that ends exactly where the statement ends: reading the literal back
//   gives the value, whatever quotes it holds;
// - the text sent to the server holds the head and one ? mark, never the
//   value;
// - the table named after "from" is a name of the head that follows that
//   word, without blanks, commas or semicolons.

#include "fuzz_common.h"
#include "store/statement.h"

namespace {

// Reads an SQL string literal whose opening quote is at `at`; the value, and
// in `end` the position right after the closing quote (-1 when it does not
// close).
QString literal(const QString &text, qsizetype at, qsizetype &end) {
  QString value;
  end = -1;
  for (qsizetype i = at + 1; i < text.size(); ++i) {
    if (text.at(i) != u'\'') {
      value += text.at(i);
      continue;
    }
    if (i + 1 < text.size() && text.at(i + 1) == u'\'') {
      value += u'\'';
      ++i;
      continue;
    }
    end = i + 1;
    return value;
  }
  return value;
}

bool blankOrSeparator(QChar c) { return (c.unicode() < 128 && c.isSpace()) || c == u',' || c == u';'; }

} // namespace

FUZZ_INITIALIZE_CORE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  const bool fixedHead = input.ConsumeBool();
  const QString anyHead = QString::fromUtf8(fuzz::bytes(input, 64));
  const QString value = QString::fromUtf8(fuzz::bytes(input, 64));
  // The windows' heads end in an opening quote; any head is tried too.
  const QString head = fixedHead ? QStringLiteral("select * from lz_xzcz where 村或社区='") : anyHead;

  const Statement statement = Statement::compare(head, value);
  const QString rendered = statement.render();
  FUZZ_CHECK(rendered.startsWith(head), "the statement starts with its head");
  if (head.endsWith(u'\'')) {
    qsizetype end = 0;
    const QString read = literal(rendered, head.size() - 1, end);
    FUZZ_CHECK(end == rendered.size(), "the value's literal ends where the statement ends");
    FUZZ_CHECK(read == value, "the value's literal reads back as the value");
  }
  const QString sent = statement.prepared();
  FUZZ_CHECK(sent == (head.endsWith(u'\'') ? head.chopped(1) : head) + u'?',
             "the text sent holds the head and one mark, never the value");

  const QString plain = Statement::plain(anyHead).prepared();
  FUZZ_CHECK(plain == anyHead, "a statement without a value is sent as it stands");

  const QString table = statement.table();
  if (!table.isEmpty()) {
    for (QChar c : table)
      FUZZ_CHECK(!blankOrSeparator(c), "a table name holds no blank, comma or semicolon");
    const qsizetype at = head.indexOf(table);
    FUZZ_CHECK(at >= 0, "the table is named in the head");
    bool afterFrom = false;
    for (qsizetype from = head.indexOf(QLatin1String("from"), 0, Qt::CaseInsensitive); from >= 0 && !afterFrom;
         from = head.indexOf(QLatin1String("from"), from + 1, Qt::CaseInsensitive)) {
      qsizetype name = from + 4;
      while (name < head.size() && head.at(name).unicode() < 128 && head.at(name).isSpace())
        ++name;
      afterFrom = name > from + 4 && head.mid(name).startsWith(table);
    }
    FUZZ_CHECK(afterFrom, "the table is the name after the word from");
  }
  return 0;
}
