// The record's file: what it keeps across a restart, what a torn write
// costs, how it is bounded, and how it is queried.
#include "core/RecordFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace bridge {
namespace {

class RecordFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kdt-record-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    path_ = folder_ + "/record.log";
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  // An entry of the given number at `time` (now when empty).
  static RecordEntry Entry(std::uint64_t seq, const std::string& unit, const std::string& relay,
                           const std::string& by, std::string time = "") {
    if (time.empty()) time = Now();
    return RecordEntry{.seq = seq,
                       .time = time,
                       .unit = unit,
                       .relay = relay,
                       .change = "input",
                       .from = "INPUT 1",
                       .to = "INPUT 2",
                       .by = by};
  }
  static std::string Now() {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    return TimeOf(seconds);
  }
  static std::string TimeOf(std::int64_t unixSeconds) {
    const std::time_t at = unixSeconds;
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000+00:00", std::gmtime(&at));
    return text;
  }
  std::vector<std::uint64_t> Seqs(const RecordFile& file, const RecordQuery& query) {
    std::vector<std::uint64_t> seqs;
    for (const RecordEntry& entry : file.Query(query)) seqs.push_back(entry.seq);
    return seqs;
  }

  std::string folder_, path_;
  std::vector<std::string> said_;
};

TEST(RecordFileLines, EveryFieldComesBackAsItWent) {
  const RecordEntry entry{.seq = 42,
                          .time = "2026-12-10T17:35:46.335+01:00",
                          .unit = "studio",
                          .relay = "A",
                          .change = "name",
                          .from = "tab\there",
                          .to = "line\nbreak \\ back\r",
                          .by = "web alice",
                          .salvo = "",
                          .detail = "\t"};
  const std::string line = EntryFileLine(entry);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  RecordEntry back;
  ASSERT_TRUE(ReadEntryFileLine(line, back));
  EXPECT_EQ(back.seq, 42u);
  EXPECT_EQ(back.from, entry.from);
  EXPECT_EQ(back.to, entry.to);
  EXPECT_EQ(back.detail, entry.detail);
  EXPECT_EQ(back.by, entry.by);
  for (const char* broken : {"", "x\ta", "42\ta\tb", "42\t\\q\t\t\t\t\t\t\t\t\t\t\t\t"}) {
    EXPECT_FALSE(ReadEntryFileLine(broken, back)) << broken;
  }
}

TEST(RecordFileLines, IsoTimesWithTheirOffsets) {
  struct Case {
    const char* text;
    std::optional<std::int64_t> ms;
  };
  const Case cases[] = {
      {"1970-01-01T00:00:00Z", 0},
      {"1970-01-01T01:00:00.5+01:00", 500},
      {"2026-12-10T17:35:46.335+01:00", 1796920546335},
      {"2026-12-10T16:35:46.335Z", 1796920546335},
      {"2026-12-10T11:35:46.335-05:00", 1796920546335},
      {"2026-12-10T16:35:46", std::nullopt},  // whose clock?
      {"2026-13-10T16:35:46Z", std::nullopt},
      {"2026-12-10T16:35Z", std::nullopt},
      {"yesterday", std::nullopt},
      {"2026-12-10T16:35:46.Z", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(IsoTimeMs(c.text), c.ms) << c.text;
}

TEST_F(RecordFileTest, WhatIsAppendedIsThereAfterARestartNewestFirst) {
  {
    RecordFile file;
    ASSERT_TRUE(file.Open(path_, {}, said_));
    for (std::uint64_t seq = 1; seq <= 3; ++seq) {
      ASSERT_TRUE(file.Append(Entry(seq, "studio", "A", "web alice"), said_));
    }
  }
  RecordFile again;
  ASSERT_TRUE(again.Open(path_, {}, said_));
  EXPECT_EQ(again.LastSeq(), 3u);
  EXPECT_EQ(Seqs(again, {}), (std::vector<std::uint64_t>{3, 2, 1}));
  EXPECT_TRUE(said_.empty());
}

// A write cut short by a power cut: its line goes with a word, and every
// whole line before it stays.
TEST_F(RecordFileTest, ATornLastLineIsDroppedAndNothingElse) {
  {
    RecordFile file;
    ASSERT_TRUE(file.Open(path_, {}, said_));
    for (std::uint64_t seq = 1; seq <= 2; ++seq) {
      ASSERT_TRUE(file.Append(Entry(seq, "studio", "A", "unit"), said_));
    }
  }
  std::ofstream(path_, std::ios::app) << "3\t2026-12-10T17:3";
  RecordFile file;
  ASSERT_TRUE(file.Open(path_, {}, said_));
  ASSERT_EQ(said_.size(), 1u);
  EXPECT_NE(said_[0].find("dropped a torn last line of 17 bytes"), std::string::npos) << said_[0];
  EXPECT_EQ(Seqs(file, {}), (std::vector<std::uint64_t>{2, 1}));
  ASSERT_TRUE(file.Append(Entry(3, "studio", "A", "unit"), said_));
  EXPECT_EQ(Seqs(file, {}), (std::vector<std::uint64_t>{3, 2, 1}));
}

TEST_F(RecordFileTest, AQueryTakesWhatMatchesNewestFirst) {
  RecordFile file;
  ASSERT_TRUE(file.Open(path_, {}, said_));
  const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
  const char* units[] = {"studio", "hall"};
  const char* relays[] = {"A", "B", "C"};
  const char* owners[] = {"web alice", "web alan", "mqtt", "web alice, salvo evening"};
  // Enough that a query reads back through more than one chunk.
  for (std::uint64_t seq = 1; seq <= 3000; ++seq) {
    ASSERT_TRUE(file.Append(Entry(seq, units[seq % 2], relays[seq % 3], owners[seq % 4],
                                  TimeOf(now - 3000 + std::int64_t(seq))),
                            said_));
  }
  RecordQuery studioA{.unit = "studio", .relay = "A", .limit = 3};
  EXPECT_EQ(Seqs(file, studioA), (std::vector<std::uint64_t>{3000, 2994, 2988}));
  RecordQuery alice{.by = "web alice", .limit = 2};  // her salvo's switches too
  EXPECT_EQ(Seqs(file, alice), (std::vector<std::uint64_t>{3000, 2999}));
  RecordQuery web{.by = "web", .before = 2000, .limit = 3};
  EXPECT_EQ(Seqs(file, web), (std::vector<std::uint64_t>{1999, 1997, 1996}));
  RecordQuery window{.sinceMs = (now - 3000 + 10) * 1000, .untilMs = (now - 3000 + 12) * 1000};
  EXPECT_EQ(Seqs(file, window), (std::vector<std::uint64_t>{12, 11, 10}));
  EXPECT_EQ(file.Query({}).size(), 3000u);
  EXPECT_TRUE(file.Query({.unit = "nowhere"}).empty());
}

// Bounded by size: past it, the oldest go until the newest fill three
// quarters of it; by days: what has outlived them goes at the next start.
TEST_F(RecordFileTest, TheOldestGoFirst) {
  RecordFile file;
  ASSERT_TRUE(file.Open(path_, {.days = 90, .bytes = 64 * 1024}, said_));
  std::uint64_t seq = 0;
  while (said_.empty()) {
    ASSERT_TRUE(file.Append(Entry(++seq, "studio", "A", "web alice"), said_));
    ASSERT_LT(seq, 10000u);
  }
  EXPECT_NE(said_[0].find("oldest entries"), std::string::npos) << said_[0];
  EXPECT_LE(file.Size(), 48u * 1024);
  EXPECT_GT(file.Size(), 40u * 1024);
  const std::vector<RecordEntry> kept = file.Query({});
  EXPECT_EQ(kept.front().seq, seq);  // the newest stay, without a gap
  EXPECT_EQ(kept.back().seq, seq - kept.size() + 1);

  const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
  RecordFile days;
  const std::string other = folder_ + "/days.log";
  ASSERT_TRUE(days.Open(other, {.days = 2}, said_));
  ASSERT_TRUE(days.Append(Entry(1, "studio", "A", "unit", TimeOf(now - 3 * 86400)), said_));
  ASSERT_TRUE(days.Append(Entry(2, "studio", "A", "unit", TimeOf(now - 86400)), said_));
  said_.clear();
  RecordFile reopened;
  ASSERT_TRUE(reopened.Open(other, {.days = 2}, said_));
  EXPECT_EQ(Seqs(reopened, {}), (std::vector<std::uint64_t>{2}));
  EXPECT_EQ(said_.size(), 1u);
}

}  // namespace
}  // namespace bridge
