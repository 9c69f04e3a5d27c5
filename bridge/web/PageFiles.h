// The page's files, built into the program from one list, page/page.qrc:
// each served by its name ("/" is index.html) with the type its extension
// says. A file added to the list is served; nothing else is.
#pragma once

#include <string>

#include "web/Reply.h"

namespace bridge {

void ServePageFile(const std::string& path, WebReply& reply);

}  // namespace bridge
