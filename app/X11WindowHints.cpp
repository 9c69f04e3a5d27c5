#include "X11WindowHints.h"

#include <xcb/xcb.h>

#include <QGuiApplication>
#include <array>
#include <cstdlib>
#include <cstring>

namespace kdt {
namespace {

constexpr const char* kMotifAtom = "_MOTIF_WM_HINTS";

xcb_atom_t InternAtom(xcb_connection_t* connection, const char* name) {
  auto cookie = xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
  const xcb_atom_t atom = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  std::free(reply);
  return atom;
}

}  // namespace

void SetMotifHints(QWidget* window, MotifHints hints) {
  if (QGuiApplication::platformName() != "xcb" || window->windowHandle() == nullptr) return;
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  xcb_connection_t* connection = x11 != nullptr ? x11->connection() : nullptr;
  if (connection == nullptr) return;
  const xcb_atom_t atom = InternAtom(connection, kMotifAtom);
  if (atom == XCB_ATOM_NONE) return;
  // flags, functions, decorations, input mode, status
  const std::array<std::uint32_t, 5> value = {kMotifHasFunctions | kMotifHasDecorations,
                                              hints.functions, hints.decorations, 0, 0};
  xcb_change_property(connection, XCB_PROP_MODE_REPLACE, static_cast<xcb_window_t>(window->winId()),
                      atom, atom, 32, value.size(), value.data());
  xcb_flush(connection);
}

}  // namespace kdt
