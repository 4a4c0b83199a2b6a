// Writes the GBK table of this build into the file named by its argument:
// the bytes of every character of the Basic Multilingual Plane (or that it
// is refused), and the text of every one- and two-byte sequence. The Linux
// and the Windows build must write the same file.

#include "core/gbk.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>

namespace {
QString units(const QString &text) {
  QStringList out;
  for (QChar c : text)
    out << QString::number(c.unicode(), 16).rightJustified(4, QLatin1Char('0'));
  return out.join(QLatin1Char(' '));
}
} // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  const QStringList args = app.arguments();
  if (args.size() != 2) {
    fprintf(stderr, "usage: kggbktable FILE\n");
    return 2;
  }
  QFile file(args.at(1));
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    fprintf(stderr, "kggbktable: cannot write %s\n", qPrintable(file.fileName()));
    return 1;
  }
  QByteArray table;
  int encodable = 0;
  for (uint code = 0; code <= 0xFFFF; ++code) {
    const QString text = QChar(char16_t(code));
    bool ok = false;
    const QByteArray bytes = gbk::encode(text, &ok);
    table += "U+" + QByteArray::number(code, 16).rightJustified(4, '0') + ' ' +
             (ok ? bytes.toHex() : QByteArray("refused")) + '\n';
    encodable += ok ? 1 : 0;
  }
  for (int lead = 0; lead <= 0xFF; ++lead) {
    const QByteArray one(1, char(lead));
    table += one.toHex() + ' ' + units(gbk::decode(one)).toLatin1() + '\n';
    if (lead < 0x81 || lead > 0xFE)
      continue;
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
      const QByteArray two = one + char(trail);
      table += two.toHex() + ' ' + units(gbk::decode(two)).toLatin1() + '\n';
    }
  }
  if (file.write(table) != table.size() || !file.flush()) {
    fprintf(stderr, "kggbktable: cannot write %s\n", qPrintable(file.fileName()));
    return 1;
  }
  printf("%d characters of the BMP have a GBK form\n", encodable);
  return 0;
}
