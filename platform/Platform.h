// What the programs need of the operating system beyond sockets, each in one
// place (PlatformPosix.cpp, PlatformWindows.cpp), so that the session,
// kdt212ctl, the simulated unit and the bridge call a small function rather
// than the system.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace kdt {

// --- The program ---------------------------------------------------------

// The running program's own path; empty when it cannot be known.
std::string OwnExecutablePath();

// What the system's executables end with: "" here, ".exe" on Windows.
#ifdef _WIN32
constexpr const char* kExecutableSuffix = ".exe";
#else
constexpr const char* kExecutableSuffix = "";
#endif

// The program's arguments, argv[1] on, in UTF-8 (Windows hands a program
// its arguments in the system's code page, in which a name in Cyrillic may
// not even be written).
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Standard output and error take UTF-8 (a Windows console shows its own code
// page otherwise).
void UseUtf8Console();

// --- Threads ---------------------------------------------------------------

// Names the calling thread as debuggers and process lists show it; the
// system keeps the first 15 characters.
void NameThisThread(const char* name);

// Sleeps of a millisecond or so are stretched by the system's default timer
// slack (50 us on Linux, a twentieth): the calling thread asks for the least.
void UseFineTimerSlack();

// --- Interrupts and termination --------------------------------------------

// Ctrl+C, Ctrl+Break, and the ends that a service manager or a logout sends,
// raise the flag so that the program gives up what it waits for and ends in
// order; a second one ends the program at once.
void CatchInterrupts(std::atomic<bool>& interrupted);

// For a program whose threads all serve until it is told to end: blocks
// until Ctrl+C, Ctrl+Break, SIGTERM (or on Windows the console's close) or
// RequestTermination. PrepareTermination is called before any thread starts,
// so that no serving thread is ever interrupted.
void PrepareTermination();
void WaitForTermination();
void RequestTermination();

#ifndef _WIN32
// Signals for an event loop: each one that comes writes its number as a byte
// to a pipe whose reading end this returns (non-blocking), for the loop to
// watch; -1 when no pipe can be made. The `ending` signals end the program
// at once when one of them has come before, as if it had no handler: a
// program that cannot close in order can still be ended. The others may come
// any number of times. CloseSignalPipe gives the signals back their default.
int OpenSignalPipe(std::initializer_list<int> ending, std::initializer_list<int> others = {});
void CloseSignalPipe();

// For a server: the open descriptors it may have raised to what the system
// allows it (the soft limit to the hard one). Returns the limit now.
long RaiseOpenFileLimit();
#endif

// --- Standard input and output ---------------------------------------------

// Whether standard input has something to read (or has ended) within the
// time; reads what there is, at most `size` bytes: 0 at its end.
bool StdinReadable(int timeoutMs);
long ReadStdin(char* buffer, std::size_t size);

// Standard output is a terminal that shows the colours of ANSI escapes
// (on Windows, a console that takes them).
bool OutputTakesColour();

// --- Time ----------------------------------------------------------------

// The local time now, to the millisecond, and how far it is ahead of UTC.
struct LocalTime {
  std::tm fields{};
  int milliseconds = 0;
  int utcOffsetMinutes = 0;
};
LocalTime LocalTimeNow();

// The time in strftime's `format`, then a dot and the milliseconds: the
// stamp of every program's log and event lines.
inline std::string TimeText(const LocalTime& time, const char* format) {
  char text[64];
  const std::size_t length = std::strftime(text, sizeof text - 4, format, &time.fields);
  std::snprintf(text + length, 5, ".%03d", time.milliseconds);
  return text;
}

// The time in ISO 8601 to the millisecond, with its offset from UTC:
// "2026-12-10T17:35:46.335+01:00", as event lines and records give it.
inline std::string IsoTime(const LocalTime& time) {
  const int offset = time.utcOffsetMinutes < 0 ? -time.utcOffsetMinutes : time.utcOffsetMinutes;
  char zone[16];
  std::snprintf(zone, sizeof zone, "%c%02d:%02d", time.utcOffsetMinutes < 0 ? '-' : '+',
                offset / 60, offset % 60);
  return TimeText(time, "%Y-%m-%dT%H:%M:%S") + zone;
}

// --- Files and folders ---------------------------------------------------

// Whether `c` separates the folders of a path ('/', and on Windows '\' too).
bool IsPathSeparator(char c);

// Where a user's programs keep their settings: $XDG_CONFIG_HOME, else
// ~/.config; on Windows %APPDATA%. Empty when none can be known.
std::string UserConfigFolder();

// True for a folder that holds installed programs, where nothing is ever
// written: /usr, /opt, /bin, /sbin and every folder below them (on Windows
// the Program Files folders), also when reached through a link.
bool IsInstalledProgramsFolder(const std::string& folder);

// Whether a file or folder exists, and whether this user may read, write or
// run it (on Windows every file that exists may be run).
bool PathExists(const std::string& path);
bool MayRead(const std::string& path);
bool MayWrite(const std::string& path);
bool MayRun(const std::string& path);

// Opens a file by its UTF-8 path, as fopen does (errno tells why not); the
// programs that this one starts do not inherit it.
std::FILE* OpenFile(const std::string& path, const char* mode);

// Makes the folder, and those above it that are missing, private to the
// user; false, with errno, when that fails.
bool MakePrivateFolder(const std::string& folder);

// The font file of the window's face (Tahoma, or a font that Debian's
// fonts-wine keeps outside the font path in its place); it may not exist.
std::string WindowFaceFontFile();

#ifdef _WIN32
// --- Windows' own ----------------------------------------------------------

// Text between UTF-8 and the UTF-16 that Windows' own functions take.
std::wstring WideText(const std::string& utf8);
std::string Utf8Text(const wchar_t* wide);

// The system's description of a Windows error code, as messages give it:
// lower case, without the full stop.
std::string WindowsErrorText(unsigned long code);
#endif

}  // namespace kdt
