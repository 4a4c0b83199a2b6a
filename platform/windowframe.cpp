#include "platform/windowframe.h"

#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QThread>
#include <QWidget>

#if __has_include(<xcb/xcb.h>) && defined(KG_WITH_XCB)
#include <xcb/xcb.h>
#define KG_XCB 1
#endif

namespace windowframe {

namespace {

#ifdef KG_XCB
xcb_atom_t atom(xcb_connection_t *connection, const char *name) {
  xcb_intern_atom_reply_t *reply =
      xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, uint16_t(strlen(name)), name), nullptr);
  const xcb_atom_t value = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
  free(reply);
  return value;
}

// _NET_FRAME_EXTENTS of the window: left, right, top, bottom.
bool readExtents(xcb_connection_t *connection, xcb_window_t window, xcb_atom_t extents, QMargins *frame) {
  xcb_get_property_reply_t *reply = xcb_get_property_reply(
      connection, xcb_get_property(connection, 0, window, extents, XCB_ATOM_CARDINAL, 0, 4), nullptr);
  bool found = false;
  if (reply && reply->format == 32 && xcb_get_property_value_length(reply) == 16) {
    const auto *value = static_cast<const uint32_t *>(xcb_get_property_value(reply));
    *frame = QMargins(int(value[0]), int(value[2]), int(value[1]), int(value[3]));
    found = true;
  }
  free(reply);
  return found;
}

// Asks the window manager which frame it will draw around the window
// (which it answers by setting _NET_FRAME_EXTENTS on it).
QMargins askWindowManager(QWidget *window) {
  auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  if (!x11)
    return {};
  xcb_connection_t *connection = x11->connection();
  const auto id = xcb_window_t(window->winId()); // the native window, with its hints
  const xcb_atom_t extents = atom(connection, "_NET_FRAME_EXTENTS");
  QMargins frame;
  if (readExtents(connection, id, extents, &frame))
    return frame;
  const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
  // Without a window manager nobody answers, and nobody draws a frame.
  xcb_get_property_reply_t *manager =
      xcb_get_property_reply(connection,
                             xcb_get_property(connection, 0, screen->root, atom(connection, "_NET_SUPPORTING_WM_CHECK"),
                                              XCB_ATOM_WINDOW, 0, 1),
                             nullptr);
  const bool managed = manager && xcb_get_property_value_length(manager) == 4;
  free(manager);
  if (!managed)
    return {};
  xcb_client_message_event_t request = {};
  request.response_type = XCB_CLIENT_MESSAGE;
  request.format = 32;
  request.window = id;
  request.type = atom(connection, "_NET_REQUEST_FRAME_EXTENTS");
  xcb_send_event(connection, 0, screen->root, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                 reinterpret_cast<const char *>(&request));
  xcb_flush(connection);
  QDeadlineTimer deadline(500);
  while (!deadline.hasExpired()) {
    if (readExtents(connection, id, extents, &frame))
      return frame;
    QThread::msleep(5);
  }
  return {};
}
#endif

} // namespace

QMargins of(QWidget *window) {
  const QRect outer = window->frameGeometry();
  const QRect inner = window->geometry();
  if (outer != inner)
    return {inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
            outer.bottom() - inner.bottom()};
#ifdef KG_XCB
  if (QGuiApplication::platformName() == QLatin1String("xcb"))
    return askWindowManager(window);
#endif
  return {};
}

void placeOuter(QWidget *window, const QPoint &at) {
  const QMargins frame = of(window);
  window->setGeometry(QRect(at + QPoint(frame.left(), frame.top()), window->size()));
}

} // namespace windowframe
