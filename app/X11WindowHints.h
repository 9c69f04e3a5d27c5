// What the window manager is told of a window's frame through the Motif
// hints: which functions it offers (move, resize, minimise, close) and which
// decorations it draws. Qt's window flags cannot say all of it (a fixed-size
// window is still offered resizing; a tool window with no caption buttons
// gets no decorations field at all, so window managers draw their defaults),
// so on the xcb platform the hints are written on the native window itself.
// Other platforms keep what the flags give.
#pragma once

#include <QWidget>
#include <cstdint>

namespace kdt {

struct MotifHints {
  std::uint32_t functions = 0;
  std::uint32_t decorations = 0;
};

// The Motif bits, as window managers read them.
constexpr std::uint32_t kMotifHasFunctions = 1u << 0;
constexpr std::uint32_t kMotifHasDecorations = 1u << 1;
constexpr std::uint32_t kMotifFunctionMove = 1u << 2;
constexpr std::uint32_t kMotifFunctionMinimize = 1u << 3;
constexpr std::uint32_t kMotifFunctionClose = 1u << 5;
constexpr std::uint32_t kMotifDecorBorder = 1u << 1;
constexpr std::uint32_t kMotifDecorTitle = 1u << 3;
constexpr std::uint32_t kMotifDecorMenu = 1u << 4;
constexpr std::uint32_t kMotifDecorMinimize = 1u << 5;

// A fixed single border with system menu, minimise and close.
constexpr MotifHints kFixedWindowHints{
    kMotifFunctionMove | kMotifFunctionMinimize | kMotifFunctionClose,
    kMotifDecorBorder | kMotifDecorTitle | kMotifDecorMenu | kMotifDecorMinimize};
// A tool window's border and caption, and no caption buttons at all.
constexpr MotifHints kToolWindowHints{kMotifFunctionMove, kMotifDecorBorder | kMotifDecorTitle};

// Writes the hints on the window's native window, which must exist and is
// best not yet mapped (call from showEvent). Does nothing off xcb.
void SetMotifHints(QWidget* window, MotifHints hints);

}  // namespace kdt
