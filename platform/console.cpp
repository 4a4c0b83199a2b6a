#include "platform/console.h"

#include <QtGlobal>
#include <cstdio>

#ifdef Q_OS_WIN
#include <QIODevice>
#include <QStringDecoder>
#include <windows.h>
#endif

namespace console {

namespace {

#ifdef Q_OS_WIN
// A console as a device: the UTF-8 that the stream writes is decoded (a
// character split between two writes waits for its second part) and written
// with WriteConsoleW. When the handle is no console (redirected), the bytes
// go to it as they are.
class Device : public QIODevice {
public:
  explicit Device(DWORD which) : m_handle(GetStdHandle(which)) {
    DWORD mode = 0;
    m_console = m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE && GetConsoleMode(m_handle, &mode);
    open(QIODevice::WriteOnly | QIODevice::Unbuffered);
  }

protected:
  qint64 readData(char *, qint64) override { return -1; }
  qint64 writeData(const char *data, qint64 size) override {
    if (m_handle == nullptr || m_handle == INVALID_HANDLE_VALUE)
      return size; // no console and no file: the text has nowhere to go
    if (!m_console) {
      DWORD written = 0;
      for (qint64 done = 0; done < size; done += written)
        if (!WriteFile(m_handle, data + done, DWORD(size - done), &written, nullptr) || written == 0)
          return -1;
      return size;
    }
    const QString text = m_decoder.decode(QByteArrayView(data, size));
    const auto *wide = reinterpret_cast<const wchar_t *>(text.utf16());
    DWORD written = 0;
    for (qsizetype done = 0; done < text.size(); done += written)
      if (!WriteConsoleW(m_handle, wide + done, DWORD(text.size() - done), &written, nullptr) || written == 0)
        return -1;
    return size;
  }

private:
  HANDLE m_handle;
  bool m_console = false;
  QStringDecoder m_decoder{QStringDecoder::Utf8};
};
#endif

QTextStream &stream(bool error) {
#ifdef Q_OS_WIN
  static Device outDevice(STD_OUTPUT_HANDLE);
  static Device errDevice(STD_ERROR_HANDLE);
  static QTextStream outStream(&outDevice);
  static QTextStream errStream(&errDevice);
#else
  static QTextStream outStream(stdout);
  static QTextStream errStream(stderr);
#endif
  return error ? errStream : outStream;
}

} // namespace

void prepareDrawing() {
#ifndef Q_OS_WIN
  qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
}

QTextStream &out() { return stream(false); }
QTextStream &err() { return stream(true); }

} // namespace console
