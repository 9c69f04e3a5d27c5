// Measures the record's file as the bridge keeps it: appending 100,000
// entries, a filtered page of 100 of them read back from a record that
// large, and whether memory grows with the record. Prints one line per
// figure with its goal; exits 0 only when every goal is met.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "ProcessFigures.h"
#include "Report.h"
#include "core/RecordFile.h"

namespace {

using bench::Format;
using bench::Percentile;
using bench::Report;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kEntries = 100000;
constexpr int kQueries = 200;

bridge::RecordEntry Entry(std::uint64_t seq) {
  static const char* units[] = {"studio", "hall", "gallery", "edit-1", "edit-2"};
  static const char* owners[] = {"web alice", "unit", "mqtt", "videohub 10.0.0.5"};
  return bridge::RecordEntry{.seq = seq,
                             .time = bridge::EntryTime(),
                             .unit = units[seq % 5],
                             .relay = std::string(1, char('A' + seq % 3)),
                             .change = "input",
                             .from = "INPUT 1",
                             .to = "INPUT 2",
                             .by = owners[seq % 4]};
}

}  // namespace

int main() {
  char pattern[] = "/tmp/kdt-record-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 2;
  const std::string folder = pattern;
  bool met = true;
  {
    bridge::RecordFile file;
    std::vector<std::string> said;
    if (!file.Open(folder + "/record.log", {}, said)) return 2;
    const long before = bench::ResidentKb(getpid());
    const auto start = Clock::now();
    for (std::uint64_t seq = 1; seq <= kEntries; ++seq) file.Append(Entry(seq), said);
    const double perEntryMs =
        std::chrono::duration<double, std::milli>(Clock::now() - start).count() / kEntries;
    met = Report("record: appending an entry", Format("%.4f ms", perEntryMs), "<= 0.1 ms",
                 perEntryMs <= 0.1) &&
          met;
    std::vector<double> times;
    for (int i = 0; i < kQueries; ++i) {
      // Filters that match one entry in 5, 15 and 60, paging back from
      // anywhere in the newest half.
      bridge::RecordQuery query{.unit = "hall", .limit = 100};
      if (i % 3 == 1) query.relay = "B";
      if (i % 3 == 2) query.by = "mqtt";
      query.before = kEntries - std::uint64_t(i) * (kEntries / 2 / kQueries);
      const auto asked = Clock::now();
      const std::size_t found = file.Query(query).size();
      times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - asked).count());
      if (found != 100) met = false;
    }
    const double p99 = Percentile(times, 0.99);
    met = Report("record of 100,000: a filtered page of 100",
                 Format("median %.2f, p99 %.2f ms", Percentile(times, 0.5), p99), "p99 <= 20",
                 p99 <= 20.0) &&
          met;
    const long grown = bench::ResidentKb(getpid()) - before;
    met = Report("record of 100,000: memory grown meanwhile",
                 Format("%.0f KiB (the file %.1f MiB)", double(grown),
                        double(file.Size()) / (1 << 20)),
                 "<= 1 MiB", grown <= 1024) &&
          met;
  }
  std::filesystem::remove_all(folder);
  return met ? 0 : 1;
}
