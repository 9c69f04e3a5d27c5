#include "X11Properties.h"

#include <cstdlib>
#include <cstring>

namespace testsupport::x11 {

xcb_atom_t Atom(xcb_connection_t* connection, const char* name) {
  auto cookie = xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(strlen(name)), name);
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
  const xcb_atom_t atom = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  free(reply);
  return atom;
}

xcb_window_t Root(xcb_connection_t* connection) {
  return xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
}

std::string Property(xcb_connection_t* connection, xcb_window_t window, const char* name) {
  xcb_flush(connection);
  auto cookie = xcb_get_property(connection, 0, window, Atom(connection, name),
                                 XCB_GET_PROPERTY_TYPE_ANY, 0, 1024);
  xcb_get_property_reply_t* reply = xcb_get_property_reply(connection, cookie, nullptr);
  std::string bytes;
  if (reply != nullptr) {
    bytes.assign(static_cast<const char*>(xcb_get_property_value(reply)),
                 std::size_t(xcb_get_property_value_length(reply)));
  }
  free(reply);
  return bytes;
}

std::vector<std::uint32_t> Items(xcb_connection_t* connection, xcb_window_t window,
                                 const char* name) {
  const std::string bytes = Property(connection, window, name);
  std::vector<std::uint32_t> items(bytes.size() / sizeof(std::uint32_t));
  if (!items.empty()) std::memcpy(items.data(), bytes.data(), items.size() * sizeof(std::uint32_t));
  return items;
}

}  // namespace testsupport::x11
