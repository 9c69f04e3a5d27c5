// The bridge's log: plain lines on standard error. Under systemd the journal
// takes them and stamps each with its time; anywhere else each line carries
// its own time stamp.
#pragma once

#include <string>

namespace bridge {

void Log(const std::string& line);

// True when standard error is the journal's stream (JOURNAL_STREAM names it).
bool LogGoesToTheJournal();

}  // namespace bridge
