// What the programs need of the operating system beyond sockets, each in one
// place, so that the session, kdt212ctl and the bridge call a small function
// rather than the system.
#pragma once

#include <atomic>
#include <initializer_list>
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

// Signals for an event loop: each one that comes writes its number as a byte
// to a pipe whose reading end this returns (non-blocking), for the loop to
// watch; -1 when no pipe can be made. The `ending` signals end the program
// at once when one of them has come before, as if it had no handler: a
// program that cannot close in order can still be ended. The others may come
// any number of times. CloseSignalPipe gives the signals back their default.
int OpenSignalPipe(std::initializer_list<int> ending, std::initializer_list<int> others = {});
void CloseSignalPipe();

}  // namespace kdt
