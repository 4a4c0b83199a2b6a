#include "platform/clipboard.h"

#include <QClipboard>
#include <QGuiApplication>

namespace clipboard {

void empty() { QGuiApplication::clipboard()->clear(); }

bool guardsKey(quint16 key, TShiftState shift) { return (shift & ssCtrl) || key == vk::V || key == vk::ProcessKey; }

} // namespace clipboard
