#include "platform/gbkvalidator.h"

#include "core/gbk.h"

namespace gbk {

LimitValidator::LimitValidator(int maxBytes, QObject *parent) : QValidator(parent), m_maxBytes(maxBytes) {}

QValidator::State LimitValidator::validate(QString &input, int &) const {
  bool ok = false;
  QByteArray bytes = encode(input, &ok);
  if (!ok || bytes.size() > m_maxBytes)
    return Invalid;
  return Acceptable;
}

} // namespace gbk
