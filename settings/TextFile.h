// Whole-file reads and writes of the settings file, with the error texts the
// operator sees: "Cannot open file "<path>". <reason>" and "Cannot create
// file "<path>". <reason>".
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace kdt {

// Reads a whole file. A file that does not exist gives empty text.
bool ReadTextFile(const std::string& path, std::string& text, std::string& error);

// Replaces the file so that it is always either the old file or the new one,
// whole: the text goes to a temporary file beside it, which then takes its
// place and keeps its permissions. Only where no file may be made beside it
// (the user may write the file but not its folder) is the file rewritten in
// place, the room for the new text taken first. A file that cannot be
// written (a full disk, a quota) fails and stays as it was.
// Temporary files that an earlier save left behind, killed mid-way, are
// removed first.
bool WriteTextFile(const std::string& path, std::string_view text, std::string& error);

// Reads the file, changes its text and writes it back, holding a lock on the
// file the whole time (on its folder while it does not exist yet), so that
// two programs saving one file at once (two consoles, kdt212-ini and a
// console) never lose each other's keys. A save that waits more than a few
// seconds for another fails. Not on Windows.
bool UpdateTextFile(const std::string& path, const std::function<std::string(std::string)>& change,
                    std::string& error);

// "<what> "<path>". <the system's reason for error>", as the operator sees it.
std::string FileErrorText(const char* what, const std::string& path, int error);

// The folder of a file's path ("." for a bare name, "/" at the root) and the
// file's name in it. Windows' '\' separates folders there too.
std::string FolderOf(const std::string& path);
std::string FileNameOf(const std::string& path);

}  // namespace kdt
