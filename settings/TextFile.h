// Whole-file reads and writes of the settings file, with the error texts the
// operator sees: "Cannot open file "<path>". <reason>" and "Cannot create
// file "<path>". <reason>".
#pragma once

#include <string>
#include <string_view>

namespace kdt {

// Reads a whole file. A file that does not exist gives empty text.
bool ReadTextFile(const std::string& path, std::string& text, std::string& error);

// Replaces the file so that it is always either the old file or the new one,
// whole: the text goes to a temporary file beside it, which then takes its
// place and keeps its permissions. Where no file can be made beside it (the
// user may write the file but not its folder), the file is rewritten in
// place. A file that can be written neither way fails and stays as it was.
// Temporary files that an earlier save left behind, killed mid-way, are
// removed first.
bool WriteTextFile(const std::string& path, std::string_view text, std::string& error);

// "<what> "<path>". <the system's reason for error>", as the operator sees it.
std::string FileErrorText(const char* what, const std::string& path, int error);

// The folder of a file's path ("." for a bare name, "/" at the root) and the
// file's name in it. Windows' '\' separates folders there too.
std::string FolderOf(const std::string& path);
std::string FileNameOf(const std::string& path);

}  // namespace kdt
