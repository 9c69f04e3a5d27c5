// Reading what an X server holds of a window: its properties, as the window
// manager and the tests read them, over any xcb connection.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport::x11 {

xcb_atom_t Atom(xcb_connection_t* connection, const char* name);
xcb_window_t Root(xcb_connection_t* connection);

// The raw bytes of a window property, whatever its type; empty when unset.
std::string Property(xcb_connection_t* connection, xcb_window_t window, const char* name);
// A property of 32-bit items (cardinals, atoms, windows).
std::vector<std::uint32_t> Items(xcb_connection_t* connection, xcb_window_t window,
                                 const char* name);

}  // namespace testsupport::x11
