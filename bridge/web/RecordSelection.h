// What a reader of the record asks the interface for, from a query string
// (?unit=studio&relay=A&by=web%20alice&since=…&until=…&before=…&limit=…),
// and the entries it gets as CSV (RFC 4180, UTF-8, a header row). Free of
// Qt.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/RecordFile.h"

namespace bridge {

constexpr std::size_t kDefaultRecordPage = 100;
constexpr std::size_t kLargestRecordPage = 1000;

// The value of each name=value of a query string, %XX and '+' decoded;
// false for one that is not.
bool ReadQueryString(std::string_view text,
                     std::vector<std::pair<std::string, std::string>>& pairs);

// False with the fault in words ("since: not an ISO 8601 time").
// `pageByDefault`: the limit when none is given (0: every entry).
bool ReadRecordQuery(std::string_view queryString, std::size_t pageByDefault, RecordQuery& query,
                     std::string& problem);

// The entries as CSV, oldest first, each line ended by CR LF. A cell that a
// spreadsheet would take for a formula (=, +, -, @) begins with a '.
std::string EntriesCsv(const std::vector<RecordEntry>& newestFirst);

}  // namespace bridge
