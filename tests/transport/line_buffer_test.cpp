// The line buffer on its own: every input played whole, split in two at every
// byte position and in 1-byte reads must give the same pieces; a full buffer
// without a line end goes on whole; SplitCRLF joins a pair cut between reads;
// the read-ahead gives the amounts reads of the free space would have given.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "httpclient/transport/LineBuffer.h"
#include "tests/support/line_feed.h"

namespace {

using velmora::network::component::LineBuffer;
// A piece handed on: its bytes and whether a line end cut it.
using Pieces = std::vector<std::pair<std::string, bool>>;

struct Settings {
  std::string eol;
  bool splitCrlf = false;
  size_t capacity = LineBuffer::kDefaultCapacity;
};

// Plays the reads as the receive handler does, then the peer's close.
Pieces play(const Settings& s, const std::vector<std::string_view>& reads) {
  Pieces out;
  tw_test::LineFeed feed(s.capacity, [&] { return s.eol; },
                         [&](const char* data, size_t length, bool endOfLine) {
                           out.emplace_back(std::string(data, length), endOfLine);
                           return 0;
                         });
  feed.setSplitCrlf(s.splitCrlf);
  for (std::string_view r : reads) feed.receive(r);
  feed.close();
  return out;
}

TEST(LineBufferTest, EveryCutOfTheInputGivesTheSamePieces) {
  struct Case {
    Settings settings;
    std::string input;
    Pieces expected;
  };
  const Case cases[] = {
      {{"\r\n"}, "HTTP/1.1 200 OK\r\nA: 1\r\nB: 2\r\n\r\n",
       {{"HTTP/1.1 200 OK", true}, {"A: 1", true}, {"B: 2", true}, {"", true}}},
      // A long marker matches byte for byte.
      {{"--END--"}, "one--END--two--END--tail", {{"one", true}, {"two", true}, {"tail", false}}},
      {{"--END--"}, "a--EN--END--b", {{"a--EN", true}, {"b", false}}},
      // A line longer than the buffer arrives in pieces.
      {{"\n", false, 16}, std::string(40, 'L') + "\nshort\n",
       {{std::string(16, 'L'), false}, {std::string(16, 'L'), false},
        {std::string(8, 'L'), true}, {"short", true}}},
      // CR LF and LF CR are one end, cut between reads or not; CR CR is two.
      {{"", true}, "one\r\ntwo\n\rthree\r\rfour\n",
       {{"one", true}, {"two", true}, {"three", true}, {"", true}, {"four", true}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    const std::string_view v(c.input);
    EXPECT_EQ(play(c.settings, {v}), c.expected) << "one read";
    std::vector<std::string_view> bytes;
    for (size_t i = 0; i < v.size(); ++i) bytes.push_back(v.substr(i, 1));
    EXPECT_EQ(play(c.settings, bytes), c.expected) << "1-byte reads";
    for (size_t i = 1; i < v.size() && !HasFailure(); ++i) {
      EXPECT_EQ(play(c.settings, {v.substr(0, i), v.substr(i)}), c.expected) << "split at " << i;
    }
  }
}

TEST(LineBufferTest, WithoutAMarkerBytesGoOnRawAndWhole) {
  const std::string input = std::string(5000, 'a') + "b\r\nc\n";
  const std::string_view v(input);
  for (const auto& reads : {std::vector{v}, std::vector{v.substr(0, 4999), v.substr(4999)}}) {
    std::string joined;
    for (const auto& [bytes, endOfLine] : play({}, reads)) {
      EXPECT_FALSE(endOfLine);
      EXPECT_LE(bytes.size(), 2048u);
      joined += bytes;
    }
    EXPECT_EQ(joined, input);
  }
}

TEST(LineBufferTest, CapacityIsClampedAndTheBufferRefilled) {
  LineBuffer b;
  EXPECT_EQ(b.capacity(), 2048);
  b.setCapacity(100000, LineBuffer::kMaxCapacity);
  EXPECT_EQ(b.capacity(), 65536);
  b.setCapacity(0, LineBuffer::kMaxCapacity);
  EXPECT_EQ(b.capacity(), 1);
  b.setCapacity(100000, 1 << 30);
  EXPECT_EQ(b.capacity(), 100000);
  b.setCapacity(4, LineBuffer::kMaxCapacity);
  EXPECT_EQ(b.append("abcdef", 6), 4u);
  EXPECT_TRUE(b.full());
  LineBuffer::Piece p = b.takeAll();
  EXPECT_EQ(std::string(p.data, p.length), "abcd");
  EXPECT_TRUE(b.empty());
  // Consumed bytes are dropped by moving the rest to the front when room is needed.
  b.setEol("\n");
  ASSERT_EQ(b.append("x\nyz", 4), 4u);
  ASSERT_TRUE(b.next(p, false));
  size_t room = 0;
  b.space(room);
  EXPECT_EQ(room, 2u);
}

// A read event reads ahead; the buffer gets what reads of its free space
// would have given, and the bytes left over ask once to be announced.
TEST(LineBufferTest, ReadAheadGivesTheAmountsOfTheFreeSpace) {
  LineBuffer b;
  b.setCapacity(1000, LineBuffer::kMaxCapacity);
  std::string source(2500, 'x');
  char* ahead = b.aheadSpace();
  ASSERT_NE(ahead, nullptr);
  source.copy(ahead, source.size());
  b.aheadFilled(source.size());
  std::vector<size_t> amounts;
  std::string got;
  while (b.ahead() > 0) {
    size_t room = 0;
    char* into = b.space(room);
    size_t n = b.takeAhead(into, room);
    b.commit(n);
    amounts.push_back(n);
    if (b.ahead() > 0) {
      EXPECT_TRUE(b.takeAheadNotice());
      EXPECT_FALSE(b.takeAheadNotice());
    }
    const LineBuffer::Piece p = b.takeAll();
    got.append(p.data, p.length);
  }
  EXPECT_EQ(amounts, (std::vector<size_t>{1000, 1000, 500}));
  EXPECT_FALSE(b.takeAheadNotice());
  EXPECT_EQ(got, source);
}

TEST(LineBufferTest, ClearForgetsBytesPairAndReadAhead) {
  LineBuffer b;
  b.setSplitCrlf(true);
  ASSERT_EQ(b.append("a\r", 2), 2u);
  LineBuffer::Piece p;
  ASSERT_TRUE(b.next(p, false));
  b.aheadSpace()[0] = 'z';
  b.aheadFilled(1);
  b.clear();
  EXPECT_EQ(b.ahead(), 0u);
  // The held LF is forgotten: the next LF is a line end of its own.
  ASSERT_EQ(b.append("\nq", 2), 2u);
  ASSERT_TRUE(b.next(p, false));
  EXPECT_EQ(p.length, 0u);
}

}  // namespace
