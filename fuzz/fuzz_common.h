#pragma once
// What every fuzz target shares: the application object, taking texts out of
// the input, and the check that ends the run with the property it broke.

#include <QApplication>
#include <QByteArray>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <memory>

// A broken property: printed, then the run ends as libFuzzer ends it for a
// crash, keeping the input.
#define FUZZ_CHECK(condition, property)                                                                                \
  do {                                                                                                                 \
    if (!(condition)) {                                                                                                \
      std::fprintf(stderr, "FUZZ PROPERTY BROKEN at %s:%d: %s\n", __FILE__, __LINE__, property);                       \
      std::abort();                                                                                                    \
    }                                                                                                                  \
  } while (false)

namespace fuzz {

// The application object, made once: a widget application on the offscreen
// platform for the targets that drive windows, a core one otherwise.
inline void initialize(int *argc, char ***argv, bool widgets) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("QT_LOGGING_RULES", "*.debug=false;*.warning=false");
  // Made once and never destroyed: the process ends without tearing Qt down
  // under the windows and connections that still exist.
  if (widgets)
    new QApplication(*argc, *argv);
  else
    new QCoreApplication(*argc, *argv);
}

// Up to max bytes of the input, ended early by a zero byte.
inline QByteArray bytes(FuzzedDataProvider &input, size_t max) {
  const std::string taken = input.ConsumeRandomLengthString(max);
  return QByteArray(taken.data(), qsizetype(taken.size()));
}

// Bytes as UTF-16 units as they stand: lone surrogates included.
inline QString utf16(const QByteArray &bytes) {
  QString text;
  for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
    text += QChar(char16_t(uchar(bytes.at(i)) | uchar(bytes.at(i + 1)) << 8));
  return text;
}

} // namespace fuzz

// libFuzzer's entry before the first input, for a target that drives no
// windows: the core application object only.
#define FUZZ_INITIALIZE_CORE()                                                                                         \
  extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {                                                       \
    fuzz::initialize(argc, argv, false);                                                                               \
    return 0;                                                                                                          \
  }
