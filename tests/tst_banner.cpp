// The banner's JPEG decoding: the stored picture, other kinds of JPEG, and
// damaged or foreign data, which must give a null image and never end the
// program.

#include "fixture/testmain.h"

#include "resources/banner.h"

#include <QBuffer>
#include <QFile>

namespace {

QByteArray stored() {
  QFile file(QStringLiteral(":/banner.jpg"));
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A picture of one colour in a JPEG stream, as Qt's own writer makes it;
// with noise below its first rows, so that most of the stream is picture.
QByteArray jpegOf(QImage::Format format, QRgb colour, QSize size = QSize(16, 8), bool noise = false) {
  QImage picture(size, format);
  picture.fill(colour);
  for (int y = 16; noise && y < size.height(); ++y) {
    for (int x = 0; x < size.width(); ++x)
      picture.setPixel(x, y, qRgb((x * 37 + y * 11) % 256, (x * y) % 256, (x ^ y) % 256));
  }
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  picture.save(&buffer, "JPG", 95);
  return bytes;
}

} // namespace

class BannerTest : public QObject {
  Q_OBJECT
private slots:
  void storedBanner();
  void decodes_data();
  void decodes();
  void refuses_data();
  void refuses();
  void decodedAheadIsTheSame();
};

void BannerTest::storedBanner() {
  const QImage picture = banner::decodeJpeg(stored());
  QCOMPARE(picture.size(), QSize(1363, 709));
  QCOMPARE(picture.format(), QImage::Format_RGB32);
  // On a blue ground.
  const QColor ground = picture.pixelColor(picture.width() / 2, picture.height() - 5);
  QVERIFY2(ground.blue() > ground.red() + 40 && ground.blue() > ground.green(), qPrintable(ground.name()));
}

void BannerTest::decodes_data() {
  QTest::addColumn<QByteArray>("jpeg");
  QTest::addColumn<QSize>("size");
  QTest::addColumn<QColor>("colour");
  QTest::newRow("colour") << jpegOf(QImage::Format_RGB32, qRgb(200, 30, 40)) << QSize(16, 8) << QColor(200, 30, 40);
  QTest::newRow("grey scale") << jpegOf(QImage::Format_Grayscale8, qRgb(90, 90, 90)) << QSize(16, 8)
                              << QColor(90, 90, 90);
  QTest::newRow("one pixel") << jpegOf(QImage::Format_RGB32, qRgb(0, 0, 255), QSize(1, 1)) << QSize(1, 1)
                             << QColor(0, 0, 255);
  // A stream cut short: libjpeg warns, fills the rest and goes on.
  const QByteArray whole = jpegOf(QImage::Format_RGB32, qRgb(10, 200, 10), QSize(256, 256), true);
  QTest::newRow("cut short") << whole.left(whole.size() / 2) << QSize(256, 256) << QColor(10, 200, 10);
}

void BannerTest::decodes() {
  QFETCH(QByteArray, jpeg);
  QFETCH(QSize, size);
  QFETCH(QColor, colour);
  QString error = QStringLiteral("not cleared");
  const QImage picture = banner::decodeJpeg(jpeg, &error);
  QCOMPARE(picture.size(), size);
  QCOMPARE(picture.format(), QImage::Format_RGB32);
  QVERIFY(error.isEmpty());
  const QColor top = picture.pixelColor(0, 0);
  for (int channel : {top.red() - colour.red(), top.green() - colour.green(), top.blue() - colour.blue()})
    QVERIFY2(qAbs(channel) <= 6, qPrintable(top.name()));
}

void BannerTest::refuses_data() {
  QTest::addColumn<QByteArray>("data");
  QTest::newRow("nothing") << QByteArray();
  QTest::newRow("not a picture") << QByteArray("澄岭区 banner.jpg, but text");
  QTest::newRow("start of image only") << QByteArray::fromHex("ffd8ffd9");
  QTest::newRow("header cut off") << stored().left(40);
  QByteArray png; // a format Qt always writes
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  QImage(4, 4, QImage::Format_RGB32).save(&buffer, "PNG");
  QTest::newRow("another format (PNG)") << png;
}

void BannerTest::refuses() {
  QFETCH(QByteArray, data);
  QString error;
  const QImage picture = banner::decodeJpeg(data, &error);
  QVERIFY(picture.isNull());
  QVERIFY(!error.isEmpty());
  // And the next decoding works as before.
  QCOMPARE(banner::decodeJpeg(jpegOf(QImage::Format_RGB32, qRgb(1, 2, 3))).size(), QSize(16, 8));
}

void BannerTest::decodedAheadIsTheSame() {
  banner::decodeAhead();
  banner::decodeAhead(); // a second call starts nothing new
  const QImage ahead = banner::image();
  QCOMPARE(ahead, banner::decodeJpeg(stored()));
  QCOMPARE(banner::image(), ahead); // asked again, the same picture
}

KG_TEST_MAIN(BannerTest)
#include "tst_banner.moc"
