#pragma once
// What a one-line edit takes, however the text arrives (typed, pasted,
// dropped, committed by an input method, set through the accessibility
// interface or by code): characters that GBK can encode other than control
// characters (below 0x20 and DEL), up to the edit's limit in GBK bytes. An
// insertion longer than the room left keeps the whole characters that fit,
// as the platform's byte-limited edit truncates it; one that carries a
// refused character is refused whole. Text set as a whole (setText, the
// accessibility interface's value) is an insertion that replaces everything.

#include <QString>
#include <QValidator>
#include <optional>

class QLineEdit;

namespace textinput {

// A character no edit takes: below 0x20, DEL, or without a GBK form.
bool refused(QChar c);

// The edit held `before`; an edit step left `after` with the cursor at
// `cursor`, right behind what was inserted. Returns the text the edit keeps
// (and moves the cursor behind what was kept of the insertion), or nothing
// when the step is refused and the edit stays as it was.
std::optional<QString> admit(const QString &before, const QString &after, int &cursor, int maxBytes);

// Whether an edit of that limit may hold the text as it is.
bool fits(const QString &text, int maxBytes);

// The rule on a line edit. It follows the edit's text to know what an edit
// step inserted; text that reaches the edit past the validator (setText,
// which the accessibility interface uses too) is held to the rule when it
// arrives: refused whole, or cut to the whole characters that fit.
class EditValidator : public QValidator {
  Q_OBJECT
public:
  EditValidator(QLineEdit *edit, int maxBytes);
  State validate(QString &input, int &pos) const override;
  int maxBytes() const { return m_maxBytes; }

private:
  void arrived(QLineEdit *edit, const QString &text);
  int m_maxBytes;
  QString m_before;
  bool m_holding = false;
};

// Puts the rule on the edit.
void limit(QLineEdit *edit, int maxBytes);

} // namespace textinput
