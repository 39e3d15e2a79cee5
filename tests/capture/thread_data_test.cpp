// The connection record's trace and byte dumps.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "capture/thread_data.h"

namespace qx::capture {
namespace {

using namespace std::string_literals;

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

}  // namespace
}  // namespace qx::capture
