// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/subscriber.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/log_lines.h"
#include "common/process.h"
#include "telemetry/log_class.h"

namespace {

constexpr int64_t kDayMs = 86400000;

class SubscriberTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logInstance.setLogLevel(3);
    testing_support::collectLogLines(&lines);
  }
  void TearDown() override {
    logInstance.setLineObserver(nullptr, nullptr);
  }
  std::string writeIds(const std::string& content) {
    dir.write("ids.csv", content);
    return dir.file("ids.csv");
  }

  testing_support::TempDir dir;
  std::vector<std::string> lines;
  ManualTime time;  // the tables' wall clock, where a test moves it
};

TEST_F(SubscriberTest, FindsARecordByIdAndByExactCallsign) {
  Subscriber database(writeIds("2621234,DL1ABC,Hans\nRADIO_ID,CALLSIGN,FIRST_NAME\n3100001,W1XYZ,Joe Smith\n"));
  SUBINFO* byId = database.findSubscriber(2621234u);
  ASSERT_NE(byId, nullptr);
  EXPECT_EQ(byId->id, 2621234);
  EXPECT_STREQ(byId->callsign, "DL1ABC");
  EXPECT_STREQ(byId->name, "Hans");
  EXPECT_EQ(database.findSubscriber("DL1ABC"), byId);
  EXPECT_STREQ(database.findSubscriber("W1XYZ")->name, "Joe Smith");
  EXPECT_EQ(database.findSubscriber("dl1abc"), nullptr);
  EXPECT_EQ(database.findSubscriber(1u), nullptr);
  EXPECT_STREQ(database.findSubscriber(0u)->callsign, "CALLSIGN");  // titles below the first line are a record
  EXPECT_EQ(lines, std::vector<std::string>{"Subscriber IDs loaded: 3\n"});  // and no line names the form
}

TEST_F(SubscriberTest, ColumnsFollowTheTokenizerRules) {
  Subscriber database(writeIds(
      "Radio IDs\n"                   // no comma: skipped, and no DMRIds.dat line as no ID leads it
      "1,ONE,\n"                      // trailing comma: empty name
      "2,TWO\n"                       // two columns: skipped
      "3,THREE,Name,extra,columns\n"  // fourth column ignored
      "4,FOUR,Carriage\r\n"           // a CR LF line end: no carriage return in the name
      ",,5,,FIVE,,,Five\n"            // runs of commas count as one
      "  +6xyz,SIX,Six\n"             // atoi-style ID
      "abc,SEVEN,Seven\n"             // no digits: ID 0
      "9 NINE\tNine\n"                // no comma: skipped, the first record decided the form
      "8,EIGHT,Last line"));          // no final line feed
  EXPECT_STREQ(database.findSubscriber(1u)->name, "");
  EXPECT_EQ(database.findSubscriber(2u), nullptr);
  EXPECT_EQ(database.findSubscriber("TWO"), nullptr);
  EXPECT_STREQ(database.findSubscriber(3u)->name, "Name");
  EXPECT_STREQ(database.findSubscriber(4u)->name, "Carriage");
  EXPECT_STREQ(database.findSubscriber(5u)->callsign, "FIVE");
  EXPECT_STREQ(database.findSubscriber(5u)->name, "Five");
  EXPECT_STREQ(database.findSubscriber(6u)->callsign, "SIX");
  EXPECT_STREQ(database.findSubscriber(0u)->callsign, "SEVEN");
  EXPECT_STREQ(database.findSubscriber(8u)->name, "Last line");
  EXPECT_EQ(database.findSubscriber(9u), nullptr);
  EXPECT_EQ(database.size(), 7u);
  EXPECT_EQ(lines, std::vector<std::string>{"Subscriber IDs loaded: 7\n"});
}

TEST_F(SubscriberTest, TitledColumnsAreFoundByTheirTitles) {
  Subscriber database(writeIds(
      "\xEF\xBB\xBFRADIO_ID,CALLSIGN,FIRST_NAME,LAST_NAME,CITY,STATE,COUNTRY\r\n"  // a BOM first
      "1023001,VE3THW,Wayne,Edward,Toronto,Ontario,Canada\r\n"
      "1023002,VA3ABC,\"Mary, Ann\",\"O\"\"Neil\",\"Ottawa, ON\",Ontario,Canada\r\n"
      "1023003, VE3NOL ,Solo ,,City\r\n"  // blanks around fields, no last name
      "\r\n"
      "1023004,VE3SHRT\r\n"               // too few fields: ID and callsign
      "abc,BADID,X,Y\r\n"                 // no ID: skipped
      "1023006,,No,Call\r\n"              // no callsign: skipped
      "2621234,DL1ABC,Hans,M\xC3\xBCller,Berlin"));
  EXPECT_STREQ(database.findSubscriber(1023001u)->name, "Wayne Edward");
  EXPECT_STREQ(database.findSubscriber(1023002u)->name, "Mary, Ann O\"Neil");
  EXPECT_STREQ(database.findSubscriber("VE3NOL")->name, "Solo");
  EXPECT_STREQ(database.findSubscriber("VE3SHRT")->name, "");
  EXPECT_STREQ(database.findSubscriber(2621234u)->name, "Hans M\xC3\xBCller");
  EXPECT_EQ(database.findSubscriber(0u), nullptr);
  EXPECT_EQ(database.findSubscriber("CALLSIGN"), nullptr);
  EXPECT_EQ(lines, (std::vector<std::string>{"Subscriber IDs loaded: 5\n",
                                             "Subscriber file read as CSV with column titles; lines skipped: 2\n"}));

  dir.write("more.csv", "# any order, any case\ncallsign,last_name,Radio_ID,first_name\nDL2XYZ,Meier,2622000,Eva\n");
  database.loadSubscriberMap(dir.file("more.csv").c_str());
  EXPECT_STREQ(database.findSubscriber(2622000u)->name, "Eva Meier");
  EXPECT_STREQ(database.findSubscriber("DL2XYZ")->name, "Eva Meier");
}

TEST_F(SubscriberTest, DmrIdsLinesSplitAtTabsAndRunsOfBlanks) {
  Subscriber database(writeIds(
      "# ID, callsign, name: made every night\n"  // no record, though it has two commas
      "\n"
      "1023001\tVE3THW\tWayne\n"
      "1023002\tVA3ABC\tMary Ann\tO'Neil\r\n"  // CR LF; a TAB in the name
      "  1023003   VE3NOL    Joe  Smith   \n"  // runs of blanks, trailing blanks
      "1023004\tVE3ONLY\n"                     // no name
      "1023005\tVE3CMA\tSmith, Jr\n"          // a comma in the name
      "1023006\n"                              // no callsign: skipped
      "N0CALL\tNoId\tName\n"                   // no ID: skipped
      "1023007,VE3CSV,Comma\n"                 // comma form in a DMRIds.dat file: skipped
      "1023008\tVE3LNG\t" + std::string(2100, 'N') + "\n"  // longer than a line may be: skipped
      "1023009\tVE3END\tNo line end"));
  EXPECT_STREQ(database.findSubscriber(1023001u)->callsign, "VE3THW");
  EXPECT_STREQ(database.findSubscriber(1023002u)->name, "Mary Ann O'Neil");
  EXPECT_STREQ(database.findSubscriber("VE3NOL")->name, "Joe  Smith");
  EXPECT_STREQ(database.findSubscriber("VE3ONLY")->name, "");
  EXPECT_STREQ(database.findSubscriber(1023005u)->name, "Smith, Jr");
  EXPECT_EQ(database.findSubscriber(1023007u), nullptr);
  EXPECT_EQ(database.findSubscriber(1023008u), nullptr);
  EXPECT_STREQ(database.findSubscriber(1023009u)->name, "No line end");
  EXPECT_EQ(lines, (std::vector<std::string>{"Subscriber IDs loaded: 6\n",
                                             "Subscriber file read as DMRIds.dat; lines skipped: 4\n"}));
}

TEST_F(SubscriberTest, OverlongLineContinuesAsTheNextLine) {
  std::string first = "9," + std::string(2041, 'C') + ",Nam";  // 2047 characters fill one read
  Subscriber database(writeIds(first + "e,77,SPILL,Over\n10,TEN,Ten\n"));
  EXPECT_STREQ(database.findSubscriber(9u)->name, "Nam");
  SUBINFO* rest = database.findSubscriber("77");  // "e" became the ID column
  ASSERT_NE(rest, nullptr);
  EXPECT_EQ(rest->id, 0);
  EXPECT_STREQ(rest->name, "SPILL");
  EXPECT_STREQ(database.findSubscriber(10u)->name, "Ten");
}

TEST_F(SubscriberTest, LastLineWinsInEachIndexSeparately) {
  // Unsorted IDs, repeated IDs and callsigns, callsigns sharing their first
  // eight bytes, and bytes above 127 (which order after every letter).
  Subscriber database(writeIds(
      "100,FIRST,One\n100,SECOND,Two\n200,SECOND,Three\n50,VERYLONGCALL,a\n51,VERYLONGCALM,b\n"
      "52,VERYLONG,c\n53,\xC3\x84" "BC,d\n54,VERYLONGCALL,e\n"));
  EXPECT_STREQ(database.findSubscriber(100u)->callsign, "SECOND");
  SUBINFO* first = database.findSubscriber("FIRST");
  ASSERT_NE(first, nullptr);  // displaced from the ID index, still reachable by callsign
  EXPECT_EQ(first->id, 100);
  EXPECT_STREQ(first->name, "One");
  EXPECT_EQ(database.findSubscriber("SECOND")->id, 200);
  EXPECT_EQ(database.findSubscriber("VERYLONGCALL")->id, 54);
  EXPECT_STREQ(database.findSubscriber(50u)->callsign, "VERYLONGCALL");
  EXPECT_EQ(database.findSubscriber("VERYLONGCALM")->id, 51);
  EXPECT_EQ(database.findSubscriber("VERYLONG")->id, 52);
  EXPECT_EQ(database.findSubscriber("\xC3\x84" "BC")->id, 53);
  EXPECT_EQ(database.findSubscriber("VERYLONGCAL"), nullptr);
  EXPECT_EQ(database.findSubscriber(""), nullptr);
  EXPECT_EQ(lines, std::vector<std::string>{"Subscriber IDs loaded: 7\n"});  // distinct IDs, not lines

  dir.write("more.csv", "200,SECOND,newer\n");
  database.loadSubscriberMap(dir.file("more.csv").c_str());  // a second load adds on top
  EXPECT_STREQ(database.findSubscriber(200u)->name, "newer");
  EXPECT_STREQ(database.findSubscriber("SECOND")->name, "newer");
  EXPECT_EQ(database.size(), 7u);
}

TEST_F(SubscriberTest, MissingFileIsRetriedByTheFirstLookupAfterADay) {
  Subscriber database(dir.file("later.csv"), Clock(&time));
  EXPECT_EQ(lines, std::vector<std::string>{"Subscriber IDs file not found.\n"});
  dir.write("later.csv", "42\tLATE\tArrival\n");  // a reload reads each form
  time.advanceMs(kDayMs);  // exactly a day is not yet too old
  EXPECT_EQ(database.findSubscriber(42u), nullptr);
  time.advanceMs(1);
  EXPECT_EQ(database.findSubscriber("LATE"), nullptr);  // starts the reload, answers from the table it has
  database.waitForReload();
  SUBINFO* found = database.findSubscriber("LATE");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->id, 42);
  EXPECT_STREQ(found->name, "Arrival");
  EXPECT_EQ(lines, (std::vector<std::string>{"Subscriber IDs file not found.\n", "Subscriber IDs loaded: 1\n",
                                             "Subscriber file read as DMRIds.dat\n"}));
}

TEST_F(SubscriberTest, ReloadReplacesTheTableAndReleasesEveryRecord) {
  // Displaced records, freed by the leak check's watch.
  Subscriber database(writeIds("1,A,a\n1,B,b\n2,B,c\n"), Clock(&time));
  dir.write("ids.csv", "3,C,Three\n");
  time.stepWallMs(-1000);  // a small step back of the clock changes nothing
  EXPECT_NE(database.findSubscriber(1u), nullptr);
  time.stepWallMs(-2 * kDayMs);  // a clock set back by more than a day reloads
  EXPECT_NE(database.findSubscriber(1u), nullptr);
  database.waitForReload();
  EXPECT_EQ(database.findSubscriber(1u), nullptr);
  EXPECT_EQ(database.findSubscriber("A"), nullptr);
  EXPECT_STREQ(database.findSubscriber(3u)->name, "Three");
  for (int i = 0; i < 3; ++i) database.reloadSubscriberMap();
  EXPECT_EQ(database.size(), 1u);
  database.freeSubscriberMap();
  EXPECT_EQ(database.findSubscriber(3u), nullptr);
  EXPECT_EQ(database.findSubscriber("C"), nullptr);
}

}  // namespace
