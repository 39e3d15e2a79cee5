// The connection record's trace, byte dumps and the measurement of a statement's server time.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "capture/thread_data.h"

namespace qx::capture {
namespace {

using namespace std::string_literals;

constexpr double kMs = 1.0 / 86400000.0;  // one millisecond as a date-time difference

// A record whose statement `sql` starts now: one client chunk sent at `tick`.
void StartStatement(TThreadData& r, const std::string& sql, int32_t tick) {
  r.sqlText = sql;
  r.requestTick = tick;
  r.requestCount = 1;
  r.responseCount = 0;
  r.elapsedTime = 0;
}

// Another client chunk of the same statement.
void ClientChunk(TThreadData& r, int32_t tick) {
  r.requestTick = tick;
  ++r.requestCount;
}

TEST(AddTrace, PrefixesTheConnectionNumberAndStopsAfterRelease) {
  TThreadData r;
  r.connectionNo = 12;
  AddTrace(r, "ignored: no trace yet");
  r.traceLines = std::make_unique<std::vector<std::string>>();
  AddTrace(r, "Connection # 12 initialized.");
  ASSERT_EQ(r.traceLines->size(), 1u);
  EXPECT_EQ(r.traceLines->front(), "Connection# 12: Connection # 12 initialized.");
  r.traceLines.reset();
  AddTrace(r, "after release");  // must not crash
}

TEST(DumpBytes, UnsignedDecimalsSeparatedByOneBlank) {
  EXPECT_EQ(DumpBytes(""), "");
  EXPECT_EQ(DumpBytes("\x00"s), "0");
  EXPECT_EQ(DumpBytes("\x00\x0a\x00\x00\x06"s), "0 10 0 0 6");
  EXPECT_EQ(DumpBytes("AB\x01\xff"), "65 66 1 255");
}

TEST(ElapsedIncrement, NoRequestYetChangesNothing) {
  TThreadData r;
  r.elap1 = 5;
  r.responseTick = 100;
  EXPECT_EQ(ElapsedIncrement(r, false), 0);
  EXPECT_EQ(r.elap1, 5);
}

TEST(ElapsedIncrement, ServerTooFarAheadGivesZeroButStillShifts) {
  TThreadData r;
  r.requestTick = 1000;
  r.responseTick = 1050;
  r.requestCount = 1;
  r.elap1 = 7;
  r.elap2 = 8;
  r.responseCount = 4;  // three ahead
  EXPECT_EQ(ElapsedIncrement(r, false), 0);
  EXPECT_EQ(r.elap1, 0);
  EXPECT_EQ(r.elap2, 7);
  EXPECT_EQ(r.elap3, 8);
  r.responseCount = 0;  // behind the client
  EXPECT_EQ(ElapsedIncrement(r, true), 7);  // the older form answers the new elap3
}

TEST(ElapsedIncrement, TickWrapBetweenRequestAndAnswer) {
  TThreadData r;
  r.requestCount = 1;
  r.responseCount = 1;
  // Request just before the 32-bit tick wraps, answer 30 ms later: wrapping subtraction.
  r.requestTick = std::numeric_limits<int32_t>::max() - 9;
  r.responseTick = std::numeric_limits<int32_t>::min() + 20;
  EXPECT_EQ(ElapsedIncrement(r, false), 30);
  // A tick that went backwards is never a negative time.
  r.responseTick = r.requestTick - 5;
  EXPECT_EQ(ElapsedIncrement(r, false), 0);
}

TEST(CountResponse, QueryCountsItsFirstThreeExchanges) {
  // One client chunk answered 5, 9, 12 and 20 ms later: the fourth answer is three ahead.
  TThreadData r;
  StartStatement(r, "SELECT * FROM EMP", 1000);
  for (int32_t t : {1005, 1009, 1012, 1020}) CountResponse(r, t);
  EXPECT_EQ(r.elapsedTime, 26);
  EXPECT_EQ(r.elap1, 0);
  EXPECT_EQ(r.elap2, 12);
  CountResponse(r, 1030);  // fifth answer: not counted at all
  EXPECT_EQ(r.elapsedTime, 26);
  EXPECT_EQ(r.elap2, 12);
}

TEST(CountResponse, QueryWithFetches) {
  // Answered after 8 ms, then two fetches answered after 3 ms each; a third fetch adds nothing.
  TThreadData r;
  StartStatement(r, "SELECT * FROM EMP", 100);
  CountResponse(r, 108);
  ClientChunk(r, 200);
  CountResponse(r, 203);
  ClientChunk(r, 300);
  CountResponse(r, 303);
  EXPECT_EQ(r.elapsedTime, 14);
  ClientChunk(r, 400);
  CountResponse(r, 450);
  EXPECT_EQ(r.elapsedTime, 14);
}

TEST(CountResponse, BlockCountsOnlyTheFirstAnswer) {
  TThreadData r;
  StartStatement(r, "begin dbms_output.disable; end;", 500);
  CountResponse(r, 540);
  CountResponse(r, 560);
  EXPECT_EQ(r.elapsedTime, 40);
  // A column named BEGIN_DATE makes a query a block as well.
  StartStatement(r, "SELECT BEGIN_DATE FROM T", 1000);
  r.responseCount = 0;
  CountResponse(r, 1010);
  CountResponse(r, 1020);
  EXPECT_EQ(r.elapsedTime, 10);
}

TEST(EndStatementTime, CutsToTheWallClockTimeBetweenStatements) {
  TThreadData r;
  // Date-times as the clock encodes them (day + milliseconds of the day / 86400000). At this
  // moment the day fractions' rounding error makes a literal truncation of the excess give 501.
  r.sqlStart = 46000.0 + 34560.0 / 86400000.0;
  r.elapsedTime = 900;
  EndStatementTime(r, 46000.0 + 35060.0 / 86400000.0);
  EXPECT_EQ(r.elapsedTime, 500);
  r.elapsedTime = 300;
  EndStatementTime(r, r.sqlStart + 500 * kMs);
  EXPECT_EQ(r.elapsedTime, 300);
  r.elapsedTime = 0;
  EndStatementTime(r, r.sqlStart - 1000 * kMs);  // clock set back: never negative
  EXPECT_EQ(r.elapsedTime, 0);
  r.elapsedTime = 50;
  EndStatementTime(r, r.sqlStart - 1000 * kMs);
  EXPECT_EQ(r.elapsedTime, 0);
}

}  // namespace
}  // namespace qx::capture
