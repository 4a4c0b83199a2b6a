#pragma once
// The GBK byte limit as a validator of an input control (core/gbk.h counts
// the bytes).

#include <QValidator>

namespace gbk {

// Refuses input that would take an edit beyond its byte limit, and any
// character that GBK cannot encode. Works for typing, input-method commits
// and pastes alike.
class LimitValidator : public QValidator {
  Q_OBJECT
public:
  LimitValidator(int maxBytes, QObject *parent = nullptr);
  State validate(QString &input, int &pos) const override;
  int maxBytes() const { return m_maxBytes; }

private:
  int m_maxBytes;
};

} // namespace gbk
