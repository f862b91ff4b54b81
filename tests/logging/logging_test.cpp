// The logger: insertion strings, event types, one message per event, the
// lock that keeps a message together, and failures of the event log.
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "logging/Logging.h"
#include "tests/logging/support.h"

using velmora::logging::Logging;
using tw_logging_test::storedEvents;
using tw_logging_test::u8;

namespace {

class LoggingTest : public tw_logging_test::StateDirTest {};

using Strings = std::vector<std::string>;

// Insertion strings as added, and as the stored event carries them.
TEST_F(LoggingTest, InsertionStrings) {
  Strings upTo31;
  for (int i = 1; i <= 31; ++i) upTo31.push_back(std::to_string(i));
  Strings upTo32 = upTo31, lastReplaced = upTo31;
  upTo32.push_back("32");
  lastReplaced.push_back("last");
  struct Case {
    const char* name;
    std::function<void(Logging&)> add;
    Strings expected;
  };
  const Case cases[] = {
      {"none: one empty string", [](Logging&) {}, {""}},
      {"gaps below the highest index are empty",
       [](Logging& log) {
         log.addString("first", 1);
         log.addString("third", 3);
       },
       {"first", "", "third"}},
      // An explicit index replaces nothing and moves the next one after it.
      {"appending continues after an explicit index",
       [](Logging& log) {
         log.addString("five", 5);
         log.addString("six");
         log.addNumber(-42);
         log.addString("two", 2);
         log.addString("three");
       },
       {"", "two", "three", "", "five", "six", "-42"}},
      {"indexes outside 1 to 32 are ignored",
       [](Logging& log) {
         log.addString("zero", 0);
         log.addString("thirty-three", 33);
         log.addString("first");
       },
       {"first"}},
      {"the 33rd appended string is dropped",
       [](Logging& log) {
         for (int i = 1; i <= 33; ++i) log.addNumber(i);
       },
       upTo32},
      {"the last slot is still replaced after a drop",
       [](Logging& log) {
         for (int i = 1; i <= 34; ++i) log.addNumber(i);
         log.addString("last", 32);
       },
       lastReplaced},
  };
  Logging log("Harrowlights", 2);
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    cases[i].add(log);
    ASSERT_TRUE(log.writeEvent(1, 1003, 0));
    auto events = storedEvents();
    ASSERT_EQ(events.size(), i + 1);
    EXPECT_EQ(u8(events[i].strings), cases[i].expected);
    EXPECT_EQ(u8(events[i].source), "Harrowlights");
    EXPECT_EQ(events[i].category, 1);
    EXPECT_EQ(events[i].eventId, 1003u);
    EXPECT_TRUE(events[i].data.empty());
  }
}

TEST_F(LoggingTest, LevelsMapToEventTypes) {
  Logging log("Harrowlights", 2);
  EXPECT_EQ(log.eventTypeForLevel(0), EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(log.eventTypeForLevel(1), EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(log.eventTypeForLevel(2), EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(log.eventTypeForLevel(3), EVENTLOG_AUDIT_FAILURE);
  EXPECT_EQ(log.eventTypeForLevel(4), EVENTLOG_AUDIT_SUCCESS);
  EXPECT_EQ(log.eventTypeForLevel(5), EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(log.eventTypeForLevel(0xFFFF), EVENTLOG_WARNING_TYPE);

  ASSERT_TRUE(log.writeEvent(1, 1010, 7));
  ASSERT_TRUE(log.writeEvent(1, 1011, 2));
  ASSERT_TRUE(log.writeEventDefaultCategory(1100, 0));
  auto events = storedEvents();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].type, EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(events[1].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(events[2].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(events[2].category, 2);
}

TEST_F(LoggingTest, DefaultCategoryIsKeptAsSixteenBits) {
  Logging log("Harrowlights", 0x10003);
  ASSERT_TRUE(log.writeEventDefaultCategory(1003, 0));
  EXPECT_EQ(storedEvents().at(0).category, 3);
}

TEST_F(LoggingTest, NarrowTextIsWidenedBytewiseWithSignExtension) {
  Logging log("Harr\xE9", 2);
  log.addString("a\xFC" "b");
  ASSERT_TRUE(log.writeEvent(1, 1003, 0));
  auto e = storedEvents().at(0);
  EXPECT_EQ(e.source, (std::u16string{u'H', u'a', u'r', u'r', 0xFFE9}));
  EXPECT_EQ(e.strings.at(0), (std::u16string{u'a', 0xFFFC, u'b'}));
}

TEST_F(LoggingTest, EachEventStartsANewMessage) {
  Logging log("Harrowlights", 2);
  log.addString("url");
  log.addString("checksum");
  ASSERT_TRUE(log.writeEvent(1, 1002, 1));
  log.addString("other");
  ASSERT_TRUE(log.writeEvent(1, 1003, 0));
  auto events = storedEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(u8(events[1].strings), Strings{"other"});
  EXPECT_EQ(events[0].record + 1, events[1].record);
}

TEST_F(LoggingTest, FailedOpenReturnsFalseDropsTheMessageAndFreesTheLock) {
  Logging log("Harrowlights", 2);
  const std::string good = root();
  tw_test::writeFile(root() + "/plainfile", "x");
  // The store cannot be created below a plain file.
  ::setenv("TARNWICK_ROOT", (root() + "/plainfile/sub").c_str(), 1);
  log.addString("lost");
  EXPECT_FALSE(log.writeEvent(1, 1000, 2));
  ::setenv("TARNWICK_ROOT", good.c_str(), 1);

  // Another thread must be able to write now: the failed event left no lock
  // level behind.
  auto other = std::async(std::launch::async, [&] {
    log.addString("kept");
    return log.writeEvent(1, 1003, 0);
  });
  ASSERT_EQ(other.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_TRUE(other.get());
  auto events = storedEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(u8(events[0].strings), Strings{"kept"});
}

TEST_F(LoggingTest, MessagesOfConcurrentThreadsDoNotMix) {
  Logging log("Harrowlights", 2);
  constexpr int kThreads = 4;
  constexpr int kEvents = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < kEvents; ++i) {
        log.addString("thread" + std::to_string(t));
        std::this_thread::yield();
        log.addNumber(i);
        log.writeEvent(1, 1000 + static_cast<uint32_t>(t), 0);
      }
    });
  }
  for (auto& th : threads) th.join();
  auto events = storedEvents();
  ASSERT_EQ(events.size(), static_cast<size_t>(kThreads * kEvents));
  std::vector<int> next(kThreads, 0);
  for (const auto& e : events) {
    const int t = static_cast<int>(e.eventId) - 1000;
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    ASSERT_EQ(u8(e.strings), (Strings{"thread" + std::to_string(t), std::to_string(next[t])}));
    ++next[t];
  }
}

TEST_F(LoggingTest, ErrorTextIsTheSystemMessage) {
  Logging log("Harrowlights", 2);
  EXPECT_EQ(u8(log.errorText(5)), "Access is denied.");
  EXPECT_EQ(u8(log.errorText(0x7FFFFFFF)), "2147483647");
}

TEST_F(LoggingTest, ProcessWideInstanceUsesTheProgramSource) {
  velmora::logging::logger.addString("only");
  ASSERT_TRUE(velmora::logging::logger.writeEventDefaultCategory(1003, 0));
  auto e = storedEvents().at(0);
  EXPECT_EQ(u8(e.source), "Harrowlights");
  EXPECT_EQ(e.category, 2);
}

}  // namespace
