#include "support/subscriber.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/process.h"
#include "telemetry/log_class.h"

namespace {

using testing_support::TempDir;

constexpr int64_t kDayMs = 86400000;
int64_t fakeNow = 0;
int64_t fakeClock() { return fakeNow; }

class SubscriberTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakeNow = 1700000000000;
    Subscriber::setClock(fakeClock);
    logInstance.setLogLevel(3);
    logInstance.setLineObserver(
        [](void* context, unsigned int, const char* line) {
          static_cast<std::vector<std::string>*>(context)->push_back(line + LOG_CLASS::kPrefixLength);
        },
        &lines);
  }
  void TearDown() override {
    logInstance.setLineObserver(nullptr, nullptr);
    Subscriber::setClock(nullptr);
  }

  std::string writeIds(const std::string& content) {
    dir.write("ids.csv", content);
    return dir.file("ids.csv");
  }

  TempDir dir;
  std::vector<std::string> lines;
};

TEST_F(SubscriberTest, FindsARecordByIdAndByExactCallsign) {
  Subscriber database(writeIds("2621234,DL1ABC,Hans\n3100001,W1XYZ,Joe Smith\n"));
  SUBINFO* byId = database.findSubscriber(2621234u);
  ASSERT_NE(byId, nullptr);
  EXPECT_EQ(byId->id, 2621234);
  EXPECT_STREQ(byId->callsign, "DL1ABC");
  EXPECT_STREQ(byId->name, "Hans");
  EXPECT_EQ(database.findSubscriber("DL1ABC"), byId);
  EXPECT_STREQ(database.findSubscriber("W1XYZ")->name, "Joe Smith");
  EXPECT_EQ(database.findSubscriber("dl1abc"), nullptr);
  EXPECT_EQ(database.findSubscriber("DL1AB"), nullptr);
  EXPECT_EQ(database.findSubscriber(1u), nullptr);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Subscriber IDs loaded: 2\n");
}

TEST_F(SubscriberTest, ColumnsFollowTheTokenizerRules) {
  Subscriber database(writeIds(
      "1,ONE,\n"                      // trailing comma: empty name
      "2,TWO\n"                       // two columns: skipped
      "3,THREE,Name,extra,columns\n"  // fourth column ignored
      "4,FOUR,Carriage\r\n"           // the carriage return stays
      ",,5,,FIVE,,,Five\n"            // runs of commas count as one
      "  +6xyz,SIX,Six\n"             // atoi-style ID
      "abc,SEVEN,Seven\n"             // no digits: ID 0
      "8,EIGHT,Last line"));          // no final line feed
  ASSERT_NE(database.findSubscriber(1u), nullptr);
  EXPECT_STREQ(database.findSubscriber(1u)->name, "");
  EXPECT_EQ(database.findSubscriber(2u), nullptr);
  EXPECT_EQ(database.findSubscriber("TWO"), nullptr);
  EXPECT_STREQ(database.findSubscriber(3u)->name, "Name");
  EXPECT_STREQ(database.findSubscriber(4u)->name, "Carriage\r");
  ASSERT_NE(database.findSubscriber(5u), nullptr);
  EXPECT_STREQ(database.findSubscriber(5u)->callsign, "FIVE");
  EXPECT_STREQ(database.findSubscriber(5u)->name, "Five");
  EXPECT_STREQ(database.findSubscriber(6u)->callsign, "SIX");
  EXPECT_STREQ(database.findSubscriber(0u)->callsign, "SEVEN");
  EXPECT_STREQ(database.findSubscriber(8u)->name, "Last line");
  EXPECT_EQ(database.size(), 7u);
}

TEST_F(SubscriberTest, HeaderLineIsARecordWithIdZero) {
  Subscriber database(writeIds("RADIO_ID,CALLSIGN,FIRST_NAME\n1234567,PA3XYZ,Piet\n"));
  SUBINFO* header = database.findSubscriber(0u);
  ASSERT_NE(header, nullptr);
  EXPECT_STREQ(header->callsign, "CALLSIGN");
  EXPECT_STREQ(header->name, "FIRST_NAME");
}

TEST_F(SubscriberTest, LastLineWinsInEachIndexSeparately) {
  Subscriber database(writeIds("100,FIRST,One\n100,SECOND,Two\n200,SECOND,Three\n"));
  EXPECT_STREQ(database.findSubscriber(100u)->callsign, "SECOND");
  SUBINFO* first = database.findSubscriber("FIRST");
  ASSERT_NE(first, nullptr);  // displaced from the ID index, still reachable by callsign
  EXPECT_EQ(first->id, 100);
  EXPECT_STREQ(first->name, "One");
  EXPECT_EQ(database.findSubscriber("SECOND")->id, 200);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Subscriber IDs loaded: 2\n");  // distinct IDs, not lines
}

TEST_F(SubscriberTest, OverlongLineContinuesAsTheNextLine) {
  // 2047 characters fill one read; the rest of the line is read as its own line.
  std::string first = "9," + std::string(2041, 'C') + ",Nam";
  ASSERT_EQ(first.size(), 2047u);
  Subscriber database(writeIds(first + "e,77,SPILL,Over\n10,TEN,Ten\n"));
  SUBINFO* cut = database.findSubscriber(9u);
  ASSERT_NE(cut, nullptr);
  EXPECT_STREQ(cut->name, "Nam");
  SUBINFO* rest = database.findSubscriber("77");  // "e" became the ID column (0)
  ASSERT_NE(rest, nullptr);
  EXPECT_EQ(rest->id, 0);
  EXPECT_STREQ(rest->name, "SPILL");
  EXPECT_STREQ(database.findSubscriber(10u)->name, "Ten");
}

TEST_F(SubscriberTest, MissingFileIsRetriedByTheFirstLookupAfterADay) {
  std::string path = dir.file("later.csv");
  Subscriber database(path);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Subscriber IDs file not found.\n");

  dir.write("later.csv", "42,LATE,Arrival\n");
  fakeNow += kDayMs;  // exactly a day is not yet too old
  EXPECT_EQ(database.findSubscriber(42u), nullptr);
  EXPECT_EQ(lines.size(), 1u);
  fakeNow += 1;
  SUBINFO* found = database.findSubscriber("LATE");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->id, 42);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "Subscriber IDs loaded: 1\n");
}

TEST_F(SubscriberTest, ReloadReplacesTheTableAndReleasesTheOldRecords) {
  std::string path = writeIds("1,A,a\n1,B,b\n2,B,c\n");
  Subscriber database(path);
  dir.write("ids.csv", "3,C,Three\n");
  fakeNow += kDayMs + 1;
  EXPECT_EQ(database.findSubscriber(1u), nullptr);  // the lookup reloaded first
  EXPECT_EQ(database.findSubscriber("A"), nullptr);
  EXPECT_STREQ(database.findSubscriber(3u)->name, "Three");
  EXPECT_EQ(database.size(), 1u);
  // Reloading again and again holds only the current file (the leak checker
  // sees every displaced record released).
  for (int i = 0; i < 3; ++i) database.reloadSubscriberMap();
  EXPECT_EQ(database.size(), 1u);
}

TEST_F(SubscriberTest, ClockSetBackByMoreThanADayReloads) {
  std::string path = writeIds("1,A,a\n");
  Subscriber database(path);
  dir.write("ids.csv", "2,B,b\n");
  fakeNow -= 1000;  // a small step back changes nothing
  EXPECT_NE(database.findSubscriber(1u), nullptr);
  fakeNow -= 2 * kDayMs;
  EXPECT_EQ(database.findSubscriber(1u), nullptr);
  EXPECT_NE(database.findSubscriber(2u), nullptr);
}

TEST_F(SubscriberTest, CallsignsAreComparedWholeAndBytewise) {
  // Callsigns sharing their first eight bytes, one the prefix of another, and
  // bytes above 127, which order after every ASCII letter.
  Subscriber database(writeIds(
      "1,VERYLONGCALL,a\n2,VERYLONGCALM,b\n3,VERYLONG,c\n4,VERYLONGCALLX,d\n"
      "5,\xC3\x84" "BC,e\n6,ZZ,f\n7,VERY,g\n8,VERYLONGCALL,h\n"));
  EXPECT_EQ(database.findSubscriber("VERYLONGCALL")->id, 8);  // repeated: the last wins
  EXPECT_EQ(database.findSubscriber("VERYLONGCALM")->id, 2);
  EXPECT_EQ(database.findSubscriber("VERYLONG")->id, 3);
  EXPECT_EQ(database.findSubscriber("VERYLONGCALLX")->id, 4);
  EXPECT_EQ(database.findSubscriber("\xC3\x84" "BC")->id, 5);
  EXPECT_EQ(database.findSubscriber("ZZ")->id, 6);
  EXPECT_EQ(database.findSubscriber("VERY")->id, 7);
  EXPECT_EQ(database.findSubscriber("VERYLONGCAL"), nullptr);
  EXPECT_EQ(database.findSubscriber("VERYLONGCALLXY"), nullptr);
  EXPECT_EQ(database.findSubscriber("VERYLON"), nullptr);
  EXPECT_EQ(database.findSubscriber(""), nullptr);
  EXPECT_STREQ(database.findSubscriber(1u)->callsign, "VERYLONGCALL");  // still reachable by ID
}

TEST_F(SubscriberTest, UnsortedFileAndASecondLoadKeepTheLastLineOfEachKey) {
  std::string first = writeIds("30,C,c\n10,A,a\n20,B,b\n10,A2,a2\n");
  Subscriber database(first);
  EXPECT_STREQ(database.findSubscriber(10u)->callsign, "A2");
  EXPECT_STREQ(database.findSubscriber(20u)->callsign, "B");
  EXPECT_STREQ(database.findSubscriber(30u)->callsign, "C");
  dir.write("more.csv", "20,B,newer\n5,E,e\n");
  database.loadSubscriberMap(dir.file("more.csv").c_str());  // adds on top of the table
  EXPECT_STREQ(database.findSubscriber(20u)->name, "newer");
  EXPECT_STREQ(database.findSubscriber("B")->name, "newer");
  EXPECT_STREQ(database.findSubscriber(5u)->callsign, "E");
  EXPECT_STREQ(database.findSubscriber("A")->callsign, "A");
  EXPECT_EQ(database.size(), 4u);
  EXPECT_EQ(lines.back(), "Subscriber IDs loaded: 4\n");
}

TEST_F(SubscriberTest, FreedTableAnswersNothing) {
  Subscriber database(writeIds("5,FIVE,Five\n"));
  database.freeSubscriberMap();
  EXPECT_EQ(database.findSubscriber(5u), nullptr);
  EXPECT_EQ(database.findSubscriber("FIVE"), nullptr);
  EXPECT_EQ(database.findSubscriber(static_cast<const char*>(nullptr)), nullptr);
}

}  // namespace
