#include "platform/look.h"

#include <QWidget>

QFont face(const char *family, int pixels, bool bold) {
  QFont font(QString::fromUtf8(family));
  font.setPixelSize(pixels);
  font.setBold(bold);
  return font;
}

void paint(QWidget *widget, const QColor &colour, std::initializer_list<QPalette::ColorRole> roles) {
  QPalette palette = widget->palette();
  for (QPalette::ColorRole role : roles) {
    palette.setColor(QPalette::Active, role, colour);
    palette.setColor(QPalette::Inactive, role, colour);
  }
  widget->setPalette(palette);
}
