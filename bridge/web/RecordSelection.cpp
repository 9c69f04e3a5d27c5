#include "web/RecordSelection.h"

#include <algorithm>

namespace bridge {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Decode(std::string_view text, std::string& decoded) {
  decoded.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      decoded += ' ';
    } else if (text[i] != '%') {
      decoded += text[i];
    } else if (i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      decoded += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      return false;
    }
  }
  return true;
}

bool ReadCount(const std::string& text, std::uint64_t highest, std::uint64_t& value) {
  if (text.empty() || text.size() > 19 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  value = std::stoull(text);
  return value >= 1 && value <= highest;
}

std::string CsvCell(std::string_view text) {
  std::string cell(text);
  if (!cell.empty() && std::string_view("=+-@").find(cell.front()) != std::string_view::npos) {
    cell.insert(cell.begin(), '\'');
  }
  if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
  std::string quoted = "\"";
  for (char c : cell) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

}  // namespace

bool ReadQueryString(std::string_view text,
                     std::vector<std::pair<std::string, std::string>>& pairs) {
  pairs.clear();
  while (!text.empty()) {
    const std::string_view pair = text.substr(0, text.find('&'));
    text.remove_prefix(std::min(text.size(), pair.size() + 1));
    if (pair.empty()) continue;
    const std::size_t equals = pair.find('=');
    std::string name, value;
    if (!Decode(pair.substr(0, equals), name) ||
        !Decode(equals == std::string_view::npos ? "" : pair.substr(equals + 1), value)) {
      return false;
    }
    pairs.emplace_back(std::move(name), std::move(value));
  }
  return true;
}

bool ReadRecordQuery(std::string_view queryString, std::size_t pageByDefault, RecordQuery& query,
                     std::string& problem) {
  std::vector<std::pair<std::string, std::string>> pairs;
  if (!ReadQueryString(queryString, pairs)) {
    problem = "the query is not name=value pairs, %-encoded";
    return false;
  }
  query = RecordQuery{};
  query.limit = pageByDefault;
  for (const auto& [name, value] : pairs) {
    std::uint64_t count = 0;
    if (name == "unit") {
      query.unit = value;
    } else if (name == "relay") {
      std::string letter = value;
      std::transform(letter.begin(), letter.end(), letter.begin(), ::toupper);
      if (letter != "A" && letter != "B" && letter != "C") {
        problem = "relay: A, B or C, not '" + value + "'";
        return false;
      }
      query.relay = letter;
    } else if (name == "by") {
      query.by = value;
    } else if (name == "since" || name == "until") {
      const std::optional<std::int64_t> at = IsoTimeMs(value);
      if (!at) {
        problem = name + ": an ISO 8601 time with its offset, such as 2026-12-10T14:03:00Z";
        return false;
      }
      (name == "since" ? query.sinceMs : query.untilMs) = at;
    } else if (name == "before") {
      if (!ReadCount(value, UINT64_MAX / 2, count)) {
        problem = "before: an entry's number";
        return false;
      }
      query.before = count;
    } else if (name == "limit") {
      if (!ReadCount(value, kLargestRecordPage, count)) {
        problem = "limit: from 1 to " + std::to_string(kLargestRecordPage);
        return false;
      }
      query.limit = count;
    } else {
      problem = "no such part of a query of the record: " + name;
      return false;
    }
  }
  return true;
}

std::string EntriesCsv(const std::vector<RecordEntry>& newestFirst) {
  std::string csv = "seq,time,unit,relay,change,from,to,by,salvo\r\n";
  for (auto it = newestFirst.rbegin(); it != newestFirst.rend(); ++it) {
    const RecordEntry& entry = *it;
    csv += std::to_string(entry.seq);
    for (const std::string* field : {&entry.time, &entry.unit, &entry.relay, &entry.change,
                                     &entry.from, &entry.to, &entry.by, &entry.salvo}) {
      csv += "," + CsvCell(*field);
    }
    csv += "\r\n";
  }
  return csv;
}

}  // namespace bridge
