#pragma once
// The main window's banner control: a picture stretched to its area.

#include <QLabel>

class StretchedPicture : public QLabel {
  Q_OBJECT
public:
  using QLabel::QLabel;

  // Shows the picture stretched over the whole area, which it then paints
  // completely: the window's background is not filled beneath it.
  void setPicture(const QPixmap &picture);

protected:
  // An enlarged picture is drawn straight into the window at the area's
  // size (the label would first keep a scaled copy of the whole screen);
  // a reduced one is left to the label's own smooth scaling.
  void paintEvent(QPaintEvent *event) override;
};
