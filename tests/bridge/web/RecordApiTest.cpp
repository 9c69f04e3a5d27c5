// The record as the interface gives it: kept in the state directory across
// a restart, asked for by unit, relay, owner and time a page at a time, and
// exported as CSV.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonObject>
#include <filesystem>
#include <fstream>

#include "WebFixture.h"

using namespace testsupport;

namespace {

class RecordApiTest : public WebTest {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kdt-state-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    state_ = pattern;
  }
  void TearDown() override {
    WebTest::TearDown();
    std::filesystem::remove_all(state_);
  }
  std::string StateSection() const { return "[BRIDGE]\nSTATE=" + state_ + "/protects.json\n"; }
  QJsonArray Entries(const std::string& query, bool* more = nullptr) {
    const HttpAnswer answer = Get("/api/log" + query);
    EXPECT_EQ(answer.status, 200) << query << answer.body;
    const QJsonObject body = Json(answer.body);
    if (more != nullptr) *more = body["more"].toBool();
    return body["entries"].toArray();
  }

  std::string state_;
};

TEST_F(RecordApiTest, ARestartKeepsTheRecordAndItsNumbersGoOn) {
  StartWeb({}, StateSection());
  Panel(*unit_, "input A 2");
  ASSERT_TRUE(bridge_->WaitForLog("studio: RELAY A: input INPUT 1 -> INPUT 2, by unit"));
  const QJsonObject before = Entries("?unit=studio&relay=A")[0].toObject();
  EXPECT_EQ(before["change"].toString(), "input");
  bridge_.reset();  // the bridge ends; the units stay
  bridge_ = std::make_unique<BridgeProcess>(config_);
  ASSERT_TRUE(bridge_->WaitForLog("studio: connected to")) << bridge_->Log();
  const QJsonArray after = Entries("");
  ASSERT_GE(after.size(), 2);
  EXPECT_GT(after[0].toObject()["seq"].toInteger(), before["seq"].toInteger());
  bool kept = false;
  for (const QJsonValue& entry : after) kept = kept || entry.toObject() == before;
  EXPECT_TRUE(kept) << "the entry before the restart";
}

// A power cut in the middle of a write: the torn line goes with a word in
// the log, the rest is there.
TEST_F(RecordApiTest, ATornRecordLosesItsLastLineOnly) {
  std::ofstream(state_ + "/record.log")
      << "7\t2026-12-10T17:35:46.335+01:00\tstudio\tA\tinput\tINPUT 1\tINPUT 2\tweb alice\t\t\t\t\t\t\n"
      << "8\t2026-12-10T17:3";
  StartWeb({}, StateSection());
  EXPECT_TRUE(bridge_->WaitForLog("record: dropped a torn last line of 17 bytes"))
      << bridge_->Log();
  const QJsonArray entries = Entries("?by=web%20alice");
  ASSERT_EQ(entries.size(), 1);
  EXPECT_EQ(entries[0].toObject()["seq"].toInt(), 7);
  EXPECT_EQ(entries[0].toObject()["text"].toString(),
            "studio RELAY A: input INPUT 1 \u2192 INPUT 2, by web alice");
}

TEST_F(RecordApiTest, APageAtATimeOfWhatTheQueryAsksFor) {
  StartWeb({}, StateSection());
  for (const char* line : {"input B 2", "input B 1", "input B 2", "input C 2"}) {
    bridge_->Mark();
    Panel(*hall_, line);
    ASSERT_TRUE(bridge_->WaitForLog("hall: RELAY ")) << bridge_->Log();
  }
  bool more = false;
  const QJsonArray first = Entries("?unit=hall&relay=b&limit=2", &more);
  ASSERT_EQ(first.size(), 2);
  EXPECT_TRUE(more);
  EXPECT_EQ(first[0].toObject()["to"].toString(), "INPUT 2");
  EXPECT_EQ(first[1].toObject()["to"].toString(), "INPUT 1");
  const QJsonArray older = Entries(
      "?unit=hall&relay=B&limit=2&before=" + std::to_string(first[1].toObject()["seq"].toInt()),
      &more);
  ASSERT_EQ(older.size(), 1);
  EXPECT_FALSE(more);
  EXPECT_EQ(older[0].toObject()["to"].toString(), "INPUT 2");
  for (const QJsonValue& entry : Entries("?by=unit&unit=hall")) {
    EXPECT_EQ(entry.toObject()["by"].toString(), "unit");
  }
  EXPECT_TRUE(Entries("?since=2999-01-01T00:00:00Z").isEmpty());
  EXPECT_EQ(Entries("?until=2999-01-01T00:00:00%2B01:00&unit=hall&relay=C").size(), 1);

  struct Refused {
    const char* query;
    const char* problem;
  };
  const Refused refused[] = {
      {"?relay=D", "relay: A, B or C, not 'D'"},
      {"?since=yesterday", "since: an ISO 8601 time with its offset"},
      {"?until=2026-12-10T10:00:00", "until: an ISO 8601 time with its offset"},
      {"?limit=0", "limit: from 1 to 1000"},
      {"?limit=1001", "limit: from 1 to 1000"},
      {"?before=-3", "before: an entry's number"},
      {"?unit=%zz", "the query is not name=value pairs"},
      {"?colour=red", "no such part of a query of the record: colour"},
  };
  for (const Refused& r : refused) {
    const HttpAnswer answer = Get(std::string("/api/log") + r.query);
    EXPECT_EQ(answer.status, 400) << r.query;
    EXPECT_TRUE(Json(answer.body)["error"].toString().startsWith(r.problem))
        << r.query << ": " << answer.body;
  }
}

// An entry says what the relay and its inputs were called when it was
// made, whatever they are called later.
TEST_F(RecordApiTest, EntriesKeepTheNamesOfTheirTime) {
  studioMore_ = "INPUT2=Camera 2\n";
  StartWeb({}, StateSection() + "[SALVO evening]\nLABEL=Evening programme\nhall.B=2\n");
  Panel(*unit_, "input A 2");
  ASSERT_TRUE(bridge_->WaitForLog("studio: RELAY A: input INPUT 1 -> INPUT 2, by unit"));
  Panel(*unit_, "name A Studio out");
  ASSERT_TRUE(bridge_->WaitForLog("studio: RELAY A: name")) << bridge_->Log();
  ASSERT_EQ(Post("/api/salvos/evening/take", "{}").status, 200);
  ASSERT_TRUE(bridge_->WaitForLog("salvo evening: take done")) << bridge_->Log();
  const QJsonArray switched = Entries("?unit=studio&relay=A");
  ASSERT_EQ(switched.size(), 2);
  EXPECT_EQ(switched[1].toObject()["text"].toString(),
            "studio RELAY A (Monitor): input INPUT 1 \u2192 INPUT 2 (Camera 2), by unit");
  EXPECT_EQ(switched[1].toObject()["toLabel"].toString(), "Camera 2");
  EXPECT_EQ(Entries("?by=web")[0].toObject()["text"].toString(),
            "salvo evening (Evening programme): take done, by web");
}

// The same selection as a spreadsheet's file: a header row, CR LF, quoted
// where a cell needs it, and no cell that a spreadsheet would run.
TEST_F(RecordApiTest, TheSelectionAsCsv) {
  StartWeb({}, StateSection());
  Panel(*unit_, "name B =HYPERLINK(\"x\"), B");
  ASSERT_TRUE(bridge_->WaitForLog("studio: RELAY B: name")) << bridge_->Log();
  const HttpAnswer answer = Get("/api/log.csv?unit=studio&relay=B");
  ASSERT_EQ(answer.status, 200);
  EXPECT_EQ(answer.Header("content-type"), "text/csv; charset=utf-8; header=present");
  EXPECT_EQ(answer.Header("content-disposition"), "attachment; filename=\"kdt212-record.csv\"");
  const std::string& csv = answer.body;
  ASSERT_TRUE(csv.starts_with("seq,time,unit,relay,change,from,to,by,salvo\r\n")) << csv;
  EXPECT_NE(csv.find(",studio,B,name,Backup feed,\"'=HYPERLINK(\"\"x\"\"), B\",unit,\r\n"),
            std::string::npos)
      << csv;
  EXPECT_EQ(csv.find("studio,A,"), std::string::npos) << csv;
  EXPECT_EQ(Get("/api/log.csv?relay=Z").status, 400);
}

}  // namespace
