#include "platform/textinput.h"

#include "core/gbk.h"

#include <QLineEdit>

namespace textinput {

bool refused(QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f || !gbk::encodable(QString(c)); }

std::optional<QString> admit(const QString &before, const QString &after, int &cursor, int maxBytes) {
  cursor = qBound(0, cursor, int(after.size()));
  // The step kept a head and a tail of the text it found and put the
  // insertion between them, ending at the cursor.
  const qsizetype tail = after.size() - cursor;
  if (tail > before.size() || !before.endsWith(QStringView(after).mid(cursor)))
    return std::nullopt;
  qsizetype head = 0;
  while (head < cursor && head < before.size() - tail && after.at(head) == before.at(head))
    ++head;
  const QString inserted = after.mid(head, cursor - head);
  if (inserted.isEmpty())
    return after; // only removed: always taken
  for (QChar c : inserted)
    if (refused(c))
      return std::nullopt;

  const QString kept = after.left(head) + after.mid(cursor);
  int room = maxBytes - gbk::byteLength(kept);
  qsizetype fit = 0;
  while (fit < inserted.size()) {
    const int bytes = gbk::byteLength(inserted.mid(fit, 1));
    if (bytes > room)
      break;
    room -= bytes;
    ++fit;
  }
  if (fit == inserted.size())
    return after;
  if (fit == 0 && kept == before)
    return std::nullopt; // nothing fits and nothing was replaced
  cursor = int(head + fit);
  return after.left(head) + inserted.left(fit) + after.mid(head + inserted.size());
}

bool fits(const QString &text, int maxBytes) {
  for (QChar c : text)
    if (refused(c))
      return false;
  return gbk::byteLength(text) <= maxBytes;
}

EditValidator::EditValidator(QLineEdit *edit, int maxBytes)
    : QValidator(edit), m_maxBytes(maxBytes), m_before(edit->text()) {
  arrived(edit, edit->text());
  // Every change the edit took, from a step or from code.
  connect(edit, &QLineEdit::textChanged, this, [this, edit](const QString &text) { arrived(edit, text); });
}

void EditValidator::arrived(QLineEdit *edit, const QString &text) {
  if (m_holding || fits(text, m_maxBytes)) {
    m_before = text;
    return;
  }
  // Set as a whole past the validator: the whole text is the insertion.
  int cursor = int(text.size());
  const QString kept = admit(QString(), text, cursor, m_maxBytes).value_or(m_before);
  m_holding = true;
  edit->setText(kept);
  m_holding = false;
  m_before = kept;
}

QValidator::State EditValidator::validate(QString &input, int &pos) const {
  // Text the edit may hold is taken whatever the cursor says (an
  // accessibility client edits without moving it); otherwise the step's
  // insertion is found from the cursor and held to the rule.
  if (fits(input, m_maxBytes))
    return Acceptable;
  std::optional<QString> kept = admit(m_before, input, pos, m_maxBytes);
  if (!kept)
    return Invalid;
  input = *kept;
  return Acceptable;
}

void limit(QLineEdit *edit, int maxBytes) { edit->setValidator(new EditValidator(edit, maxBytes)); }

} // namespace textinput
