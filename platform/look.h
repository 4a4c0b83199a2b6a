#pragma once
// Fonts and text colours as the window layouts name them. Font sizes are
// character heights in pixels; the application object maps faces that are
// not installed (黑体, 宋体, MS Sans Serif, Times New Roman) to substitutes.

#include <QColor>
#include <QFont>
#include <QPalette>
#include <initializer_list>

class QWidget;

QFont face(const char *family, int pixels, bool bold = false);

// Sets the colour of the given roles, for the active and inactive window.
void paint(QWidget *widget, const QColor &colour, std::initializer_list<QPalette::ColorRole> roles);
