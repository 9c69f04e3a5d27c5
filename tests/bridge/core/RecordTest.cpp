// The record of who switched what: as many entries as it promises to keep,
// the oldest going first, each numbered in order.
#include "core/Record.h"

#include <gtest/gtest.h>

namespace {

TEST(Record, KeepsItsNewest500InOrder) {
  bridge::Record record;
  int told = 0;
  record.SetListener([&told](const bridge::RecordEntry&) { ++told; });
  for (int i = 1; i <= 501; ++i) {
    record.Add({.unit = "studio",
                .relay = "A",
                .change = "input",
                .from = "INPUT 1",
                .to = "INPUT 2",
                .by = "entry " + std::to_string(i)});
  }
  EXPECT_EQ(told, 501);
  ASSERT_EQ(record.Entries().size(), bridge::Record::kKept);
  EXPECT_EQ(bridge::Record::kKept, 500u);
  EXPECT_EQ(record.Entries().front().by, "entry 2");
  EXPECT_EQ(record.Entries().back().by, "entry 501");
  EXPECT_LT(record.Entries().front().seq, record.Entries().back().seq);
}

}  // namespace
