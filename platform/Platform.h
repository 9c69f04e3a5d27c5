// What the programs need of the operating system beyond sockets, each in one
// place, so that the session, kdt212ctl and the bridge call a small function
// rather than the system.
#pragma once

#include <atomic>
#include <string>

namespace kdt {

// The running program's own path; empty when it cannot be known.
std::string OwnExecutablePath();

// Names the calling thread as debuggers and process lists show it; the
// system keeps the first 15 characters.
void NameThisThread(const char* name);

// Sleeps of a millisecond or so are stretched by the system's default timer
// slack (50 us, a twentieth): the calling thread asks for the least.
void UseFineTimerSlack();

// The font file of the window's face (a Tahoma-compatible font that Debian's
// fonts-wine keeps outside the font path); it may not exist.
std::string WindowFaceFontFile();

// Ctrl+C, and the ends that a service manager or a logout sends, raise the
// flag so that the program gives up what it waits for and ends in order; a
// second one ends the program at once.
void CatchInterrupts(std::atomic<bool>& interrupted);

}  // namespace kdt
