#include "platform/gbkcodec.h"

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <QStringDecoder>
#include <QStringEncoder>
#include <optional>
#endif

namespace gbkcodec {

namespace {
// The byte-order mark has no GBK form: ICU drops it silently, Windows
// writes nothing for it either. Refused on both, so that nothing vanishes
// from a text on its way to the store.
constexpr char16_t kByteOrderMark = 0xFEFF;
#ifdef Q_OS_WIN
// Code page 936 writes U+F8F5 (private use) as the single byte 0xFF but does
// not read 0xFF back; ICU reads it as U+F8F5.
constexpr char16_t kLastPrivateByte = 0xF8F5;
#endif
} // namespace

#ifdef Q_OS_WIN

QByteArray encode(const QString &text, bool *ok) {
  *ok = !text.contains(QChar(kByteOrderMark));
  if (text.isEmpty())
    return {};
  const auto *wide = reinterpret_cast<const wchar_t *>(text.utf16());
  // Without best-fit mappings a character outside the code page becomes the
  // default character "?" and is reported, instead of turning into a
  // look-alike.
  BOOL usedDefault = FALSE;
  const int size = WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, wide, int(text.size()), nullptr, 0, nullptr, nullptr);
  QByteArray bytes(qMax(size, 0), Qt::Uninitialized);
  if (size <= 0 || WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, wide, int(text.size()), bytes.data(), size, nullptr,
                                       &usedDefault) != size) {
    *ok = false;
    return {};
  }
  if (usedDefault)
    *ok = false;
  // A lone surrogate has no GBK form whatever the conversion made of it.
  for (qsizetype i = 0; i < text.size() && *ok; ++i) {
    const QChar c = text.at(i);
    if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
      ++i;
    else if (c.isSurrogate())
      *ok = false;
  }
  return bytes;
}

QString decode(const QByteArray &bytes) {
  // Character by character, so that one invalid sequence costs one U+FFFD
  // and not the whole text.
  QString text;
  text.reserve(bytes.size());
  qsizetype i = 0;
  while (i < bytes.size()) {
    const uchar lead = uchar(bytes.at(i));
    if (lead < 0x80) {
      text += QChar(lead);
      ++i;
      continue;
    }
    // A lead byte takes the next byte as its second half only when that can
    // be one (0x40 to 0xFE but 0x7F); otherwise the lead stands alone and the
    // next byte is read for itself.
    const uchar trail = i + 1 < bytes.size() ? uchar(bytes.at(i + 1)) : 0;
    const bool pair = lead >= 0x81 && lead <= 0xFE && trail >= 0x40 && trail <= 0xFE && trail != 0x7F;
    const int size = pair ? 2 : 1;
    wchar_t wide[2];
    const int got = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, bytes.constData() + i, size, wide, 2);
    if (got == 1)
      text += QChar(char16_t(wide[0]));
    else if (lead == 0xFF)
      text += QChar(kLastPrivateByte); // as ICU reads it, and as both write U+F8F5
    else
      text += QChar(QChar::ReplacementCharacter);
    i += size;
  }
  return text;
}

#else

namespace {
// Opening a converter by name looks it up and loads its table: one each per
// thread is kept and reset before every use. A converter that has met an
// error is opened afresh, as resetting leaves its error standing.
template <typename Converter, typename... Arguments>
Converter &kept(std::optional<Converter> &converter, Arguments... arguments) {
  if (!converter || converter->hasError())
    converter.emplace(arguments...);
  converter->resetState();
  return *converter;
}

QStringEncoder &encoder() {
  // Stateless: a lone surrogate at the end is an error, not held back
  // waiting for more text.
  thread_local std::optional<QStringEncoder> converter;
  return kept(converter, "GBK", QStringConverter::Flag::Stateless);
}

QStringDecoder &decoder() {
  thread_local std::optional<QStringDecoder> converter;
  return kept(converter, "GBK");
}
} // namespace

QByteArray encode(const QString &text, bool *ok) {
  QStringEncoder &encoder = gbkcodec::encoder();
  QByteArray bytes = encoder.encode(text);
  *ok = encoder.isValid() && !encoder.hasError() && !text.contains(QChar(kByteOrderMark));
  return bytes;
}

QString decode(const QByteArray &bytes) { return gbkcodec::decoder().decode(bytes); }

#endif

} // namespace gbkcodec
