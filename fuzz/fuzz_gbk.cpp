// The GBK rule (core/gbk.h) and the edits' input rule (platform/textinput.h)
// on any text.
//
// Checked, besides running without a crash or a sanitizer report:
// - decode() takes any bytes;
// - a text that encode() accepts decodes back to the same text, and
//   byteLength() counts exactly its bytes;
// - bytesAt() gives the bytes of the range, whole characters only, with
//   U+FFFD for a character the range cuts;
// - trim() removes exactly the leading and trailing characters up to 0x20,
//   and keeps a full-width blank (U+3000);
// - LimitValidator accepts exactly the texts that encode within its limit;
// - the edits' rule (textinput::admit) never leaves an edit beyond its byte
//   limit or holding a refused character, and only ever shortens what was
//   inserted.

#include "core/gbk.h"
#include "fuzz_common.h"
#include "platform/gbkvalidator.h"
#include "platform/textinput.h"

namespace {

// The GBK bytes of each character of an encodable text.
QList<QByteArray> characterBytes(const QString &text) {
  QList<QByteArray> out;
  for (qsizetype i = 0; i < text.size();) {
    const qsizetype units = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
    out << gbk::encode(text.mid(i, units));
    i += units;
  }
  return out;
}

void checkText(const QString &text, int pos, int count, int limit) {
  bool ok = false;
  const QByteArray bytes = gbk::encode(text, &ok);
  if (ok) {
    FUZZ_CHECK(gbk::decode(bytes) == text, "an encodable text decodes back to itself");
    FUZZ_CHECK(gbk::byteLength(text) == bytes.size(), "byteLength counts the GBK bytes");
    FUZZ_CHECK(gbk::encodable(text), "encodable agrees with encode");

    // bytesAt against the characters' own bytes.
    const qsizetype from = qMax(pos, 1) - 1;
    const qsizetype to = from + qMax(count, 0);
    QString expected;
    qsizetype offset = 0;
    qsizetype i = 0;
    for (const QByteArray &ch : characterBytes(text)) {
      const qsizetype units = text.at(i).isHighSurrogate() ? 2 : 1;
      const qsizetype end = offset + ch.size();
      if (offset >= from && end <= to)
        expected += text.mid(i, units);
      else if (end > from && offset < to)
        expected += QChar(QChar::ReplacementCharacter);
      offset = end;
      i += units;
    }
    FUZZ_CHECK(gbk::bytesAt(text, pos, count) == expected, "bytesAt gives the range's whole characters");
  } else {
    FUZZ_CHECK(!gbk::encodable(text), "encodable agrees with encode");
  }

  // trim
  const QString trimmed = gbk::trim(text);
  const qsizetype start = text.indexOf(trimmed);
  FUZZ_CHECK(start >= 0, "trim gives a part of the text");
  for (qsizetype k = 0; k < start; ++k)
    FUZZ_CHECK(text.at(k).unicode() <= 0x20, "trim removes only characters up to 0x20 at the start");
  for (qsizetype k = start + trimmed.size(); k < text.size(); ++k)
    FUZZ_CHECK(text.at(k).unicode() <= 0x20, "trim removes only characters up to 0x20 at the end");
  if (!trimmed.isEmpty()) {
    FUZZ_CHECK(trimmed.front().unicode() > 0x20 && trimmed.back().unicode() > 0x20,
               "trim leaves no character up to 0x20 at either end");
  }
  FUZZ_CHECK(gbk::trim(QChar(0x3000) + trimmed + QChar(0x3000)) == QChar(0x3000) + trimmed + QChar(0x3000),
             "trim keeps the full-width blank");

  // The byte-limited validator.
  gbk::LimitValidator validator(limit);
  QString input = text;
  int cursor = 0;
  const bool fits = ok && bytes.size() <= limit;
  FUZZ_CHECK((validator.validate(input, cursor) == QValidator::Acceptable) == fits,
             "LimitValidator accepts exactly the encodable texts within its limit");
}

// An edit holding `before` (as the rule left it) takes `inserted` in place of
// the range [at, at + removed).
void checkEdit(const QString &text, const QString &inserted, int at, int removed, int limit) {
  // What an edit can hold: no refused character, within the limit.
  QString before;
  for (QChar c : text)
    if (!textinput::refused(c) && gbk::byteLength(before + c) <= limit)
      before += c;
  at = qBound(0, at, int(before.size()));
  removed = qBound(0, removed, int(before.size()) - at);
  const QString after = before.left(at) + inserted + before.mid(at + removed);
  int cursor = at + int(inserted.size());
  const std::optional<QString> kept = textinput::admit(before, after, cursor, limit);
  if (!kept)
    return;
  FUZZ_CHECK(gbk::byteLength(*kept) <= limit, "an edit never holds more bytes than its limit");
  for (QChar c : *kept)
    FUZZ_CHECK(!textinput::refused(c), "an edit never holds a refused character");
  FUZZ_CHECK(gbk::encodable(*kept), "an edit holds only text that GBK encodes");
  FUZZ_CHECK(cursor >= 0 && cursor <= kept->size(), "the cursor stays within the text");
  if (*kept != after) {
    // Only the insertion was shortened, to whole characters that fit.
    const QString head = after.left(at);
    const QString tail = before.mid(at + removed);
    FUZZ_CHECK(kept->startsWith(head) && kept->endsWith(tail) && kept->size() >= head.size() + tail.size(),
               "a cut insertion keeps the text around it");
    const QString keptInsertion = kept->mid(head.size(), kept->size() - head.size() - tail.size());
    FUZZ_CHECK(inserted.startsWith(keptInsertion), "a cut insertion keeps its beginning");
  }
}

} // namespace

FUZZ_INITIALIZE_CORE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  const int pos = input.ConsumeIntegralInRange(-2, 40);
  const int count = input.ConsumeIntegralInRange(-2, 40);
  const int limit = input.ConsumeIntegralInRange(0, 60);
  const int at = input.ConsumeIntegralInRange(0, 60);
  const int removed = input.ConsumeIntegralInRange(0, 60);
  const QByteArray first = fuzz::bytes(input, 96);
  const QByteArray rest = fuzz::bytes(input, 96);

  // Bytes as they come from a file or a server.
  gbk::decode(first);
  gbk::decode(rest);
  // Texts as they come from the keyboard, the clipboard or the store; as
  // UTF-8, and as UTF-16 units (lone surrogates included).
  const QString text = QString::fromUtf8(first);
  const QString units = fuzz::utf16(rest);
  checkText(text, pos, count, limit);
  checkText(units, pos, count, limit);
  checkText(gbk::decode(first), pos, count, limit);
  checkEdit(text, units, at, removed, limit);
  checkEdit(gbk::decode(first), QString::fromUtf8(rest), at, removed, limit);
  return 0;
}
