#include "resources/banner.h"

#include <QFile>

#include <csetjmp>
#include <cstdio>
#include <future>
#include <jpeglib.h>
#include <system_error>

namespace banner {

namespace {
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void exitWithJump(j_common_ptr info) {
  auto *manager = reinterpret_cast<ErrorManager *>(info->err);
  (*info->err->format_message)(info, manager->message);
  std::longjmp(manager->jump, 1);
}

void keepQuiet(j_common_ptr, int) {}
} // namespace

QImage decodeJpeg(const QByteArray &jpeg, QString *error) {
  jpeg_decompress_struct info;
  ErrorManager manager;
  info.err = jpeg_std_error(&manager.base);
  manager.base.error_exit = exitWithJump;
  manager.base.emit_message = keepQuiet;
  manager.message[0] = '\0';
  // Nothing with a destructor lives between setjmp and the decoding below,
  // so the jump back leaves nothing behind but what jpeg_destroy releases.
  QImage *result = new QImage();
  if (setjmp(manager.jump)) {
    jpeg_destroy_decompress(&info);
    delete result;
    if (error)
      *error = QString::fromLocal8Bit(manager.message);
    return QImage();
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char *>(jpeg.constData()), (unsigned long)jpeg.size());
  jpeg_read_header(&info, TRUE);
  // Straight into the layout of Format_RGB32 (0xffRRGGBB words), which is
  // what the screen's pixmaps use: no conversion of the whole picture later.
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
  info.out_color_space = JCS_EXT_BGRA;
#else
  info.out_color_space = JCS_EXT_ARGB;
#endif
  jpeg_start_decompress(&info);
  *result = QImage(int(info.output_width), int(info.output_height), QImage::Format_RGB32);
  if (result->isNull()) {
    jpeg_destroy_decompress(&info);
    delete result;
    if (error)
      *error = QStringLiteral("image too large");
    return QImage();
  }
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = result->scanLine(int(info.output_scanline));
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  QImage image = *result;
  delete result;
  if (error)
    error->clear();
  return image;
}

namespace {

QImage decodeStored() {
  QFile file(QStringLiteral(":/banner.jpg"));
  if (!file.open(QIODevice::ReadOnly))
    return QImage();
  return decodeJpeg(file.readAll());
}

std::shared_future<QImage> &decodedAhead() {
  static std::shared_future<QImage> decoded;
  return decoded;
}

} // namespace

void decodeAhead() {
  if (decodedAhead().valid())
    return;
  try {
    decodedAhead() = std::async(std::launch::async, decodeStored).share();
  } catch (const std::system_error &) {
    // No thread to spare: image() decodes it when it is needed.
  }
}

QImage image() {
  if (decodedAhead().valid())
    return decodedAhead().get();
  return decodeStored();
}

} // namespace banner
