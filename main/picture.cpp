#include "main/picture.h"

#include <QPainter>

void StretchedPicture::setPicture(const QPixmap &picture) {
  setScaledContents(true);
  setPixmap(picture);
  setAttribute(Qt::WA_OpaquePaintEvent, !picture.isNull());
}

void StretchedPicture::paintEvent(QPaintEvent *event) {
  const QPixmap picture = pixmap();
  const QRect area = contentsRect();
  if (picture.isNull() || !isEnabled() || area.width() < picture.width() || area.height() < picture.height()) {
    QLabel::paintEvent(event);
    return;
  }
  QPainter painter(this);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawPixmap(area, picture);
}
