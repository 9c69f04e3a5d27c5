#include <windows.h>
// After windows.h, which they need.
#include <io.h>
#include <shellapi.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cwctype>

#include "Platform.h"

namespace kdt {
namespace {

// A console closed, a logoff or a shutdown ends the process as soon as the
// handler returns: it waits this long for the program to end in order.
constexpr DWORD kCloseGraceMs = 2000;

std::atomic<bool>* interruptFlag = nullptr;
HANDLE terminationEvent = nullptr;

bool IsClosing(DWORD event) {
  return event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
}

BOOL WINAPI OnInterrupt(DWORD event) {
  if (interruptFlag->exchange(true)) return FALSE;  // the second one: the system's ending
  if (IsClosing(event)) Sleep(kCloseGraceMs);
  return TRUE;
}

BOOL WINAPI OnTermination(DWORD event) {
  SetEvent(terminationEvent);
  if (IsClosing(event)) Sleep(kCloseGraceMs);
  return TRUE;
}

std::string EnvironmentVariable(const wchar_t* name) {
  const wchar_t* value = _wgetenv(name);
  return value != nullptr ? Utf8Text(value) : std::string();
}

// The full path, folders separated by '\', in lower case: Windows' paths do
// not tell case apart.
std::wstring ComparablePath(const std::string& path) {
  const std::wstring wide = WideText(path);
  wchar_t full[MAX_PATH * 4];
  const DWORD length = GetFullPathNameW(wide.c_str(), DWORD(std::size(full)), full, nullptr);
  std::wstring result = length > 0 && length < std::size(full) ? full : wide;
  for (wchar_t& c : result) c = c == L'/' ? L'\\' : wchar_t(std::towlower(wint_t(c)));
  while (result.size() > 3 && result.back() == L'\\') result.pop_back();
  return result;
}

bool IsAtOrBelow(const std::wstring& folder, const std::wstring& root) {
  return !root.empty() && folder.starts_with(root) &&
         (folder.size() == root.size() || folder[root.size()] == L'\\');
}

bool MakeOneFolder(const std::string& folder) {
  if (CreateDirectoryW(WideText(folder).c_str(), nullptr) ||
      GetLastError() == ERROR_ALREADY_EXISTS) {
    return true;
  }
  const DWORD error = GetLastError();
  errno = error == ERROR_PATH_NOT_FOUND ? ENOENT : error == ERROR_ACCESS_DENIED ? EACCES : EIO;
  return false;
}

}  // namespace

std::wstring WideText(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  std::wstring wide(std::size_t(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), length);
  return wide;
}

std::string Utf8Text(const wchar_t* wide) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return {};
  std::string utf8(std::size_t(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8.data(), length, nullptr, nullptr);
  utf8.pop_back();  // the terminating NUL
  return utf8;
}

std::string WindowsErrorText(unsigned long code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&buffer),
      0, nullptr);
  std::string text = length > 0 ? Utf8Text(buffer) : "error " + std::to_string(code);
  LocalFree(buffer);
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = char(text[0] - 'A' + 'a');
  return text;
}

std::string OwnExecutablePath() {
  wchar_t path[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameW(nullptr, path, DWORD(std::size(path)));
  return length > 0 && length < std::size(path) ? Utf8Text(path) : std::string();
}

std::vector<std::string> ProgramArguments(int, char**) {
  // The command line as Windows keeps it, in UTF-16: argv holds it in the
  // system's code page, in which a relay's name may not be written.
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> result;
  for (int i = 1; arguments != nullptr && i < count; ++i) result.push_back(Utf8Text(arguments[i]));
  LocalFree(arguments);
  return result;
}

void UseUtf8Console() {
  SetConsoleOutputCP(CP_UTF8);
}

void NameThisThread(const char*) {
  // Windows names threads only from Windows 10 on, through a function that
  // older systems lack; the sessions' threads go without.
}

void UseFineTimerSlack() {
  // Windows has no timer slack to ask away.
}

void CatchInterrupts(std::atomic<bool>& interrupted) {
  interruptFlag = &interrupted;
  SetConsoleCtrlHandler(OnInterrupt, TRUE);
}

void PrepareTermination() {
  terminationEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnTermination, TRUE);
}

void WaitForTermination() {
  WaitForSingleObject(terminationEvent, INFINITE);
}

void RequestTermination() {
  SetEvent(terminationEvent);
}

bool StdinReadable(int timeoutMs) {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  switch (GetFileType(input)) {
    case FILE_TYPE_PIPE:
      for (int waited = 0;; ++waited) {
        DWORD available = 0;
        // A pipe whose writer has gone fails: its end, which a read then gives.
        if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr) || available > 0) {
          return true;
        }
        if (waited >= timeoutMs) return false;
        Sleep(1);
      }
    case FILE_TYPE_CHAR:
      if (GetConsoleMode(input, &mode)) {
        return WaitForSingleObject(input, DWORD(timeoutMs)) == WAIT_OBJECT_0;
      }
      return true;  // NUL and the like: a read gives their end at once
    default:
      return true;  // a file
  }
}

long ReadStdin(char* buffer, std::size_t size) {
  DWORD read = 0;
  if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, DWORD(size), &read, nullptr)) {
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  }
  return long(read);
}

bool OutputTakesColour() {
  // A console takes ANSI escapes once asked to; a pipe or a file never shows them.
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  return GetConsoleMode(output, &mode) &&
         SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

LocalTime LocalTimeNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  LocalTime time;
  localtime_s(&time.fields, &seconds);
  time.milliseconds = int(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm asUtc = time.fields;
  time.utcOffsetMinutes = int((_mkgmtime(&asUtc) - seconds) / 60);
  return time;
}

bool IsPathSeparator(char c) {
  return c == '/' || c == '\\';
}

std::string UserConfigFolder() {
  return EnvironmentVariable(L"APPDATA");
}

bool IsInstalledProgramsFolder(const std::string& folder) {
  const std::wstring path = ComparablePath(folder);
  for (const wchar_t* root : {L"ProgramFiles", L"ProgramFiles(x86)", L"ProgramW6432"}) {
    const std::string rootPath = EnvironmentVariable(root);
    if (!rootPath.empty() && IsAtOrBelow(path, ComparablePath(rootPath))) return true;
  }
  return false;
}

bool PathExists(const std::string& path) {
  return GetFileAttributesW(WideText(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool MayRead(const std::string& path) {
  return _waccess(WideText(path).c_str(), 4) == 0;
}

bool MayWrite(const std::string& path) {
  return _waccess(WideText(path).c_str(), 2) == 0;
}

bool MayRun(const std::string& path) {
  return PathExists(path);
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
  return _wfopen(WideText(path).c_str(), (WideText(mode) + L"N").c_str());  // "N": not inherited
}

bool MakePrivateFolder(const std::string& folder) {
  // The folders above, from the top; one that cannot be made says why the
  // last one cannot. %APPDATA% is the user's own: what is made there is too.
  int aboveError = 0;
  for (std::size_t i = 1; i < folder.size(); ++i) {
    if (!IsPathSeparator(folder[i])) continue;
    const std::string above = folder.substr(0, i);
    if (!MakeOneFolder(above) && !PathExists(above))
      aboveError = errno;  // "C:" is no folder to make
  }
  if (MakeOneFolder(folder)) return true;
  if (errno == ENOENT && aboveError != 0) errno = aboveError;
  return false;
}

std::string WindowFaceFontFile() {
  return EnvironmentVariable(L"WINDIR") + "\\Fonts\\tahoma.ttf";
}

}  // namespace kdt
