// The foundation message table, row by row, and the buffer rules of
// QOXGetPFLErrorString.
#include "foundation/errors.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct Row {
  QOXError code;
  const char* text;
};

// Written out independently of the table in the library.
constexpr Row kRows[] = {
    {0, "not an error"},
    {-12000, "bad parameters"},
    {-11999, "out of memory"},
    {-11998, "buffer too small"},
    {-11997, "file not found"},
    {-11996, "can't open file"},
    {-11995, "file permissions"},
    {-11994, "file locked"},
    {-11992, "illegal file operation"},
    {-11991, "file operation error"},
    {-11990, "read failed"},
    {-11989, "write failed"},
    {-11988, "end of file"},
    {-11987, "user cancelled"},
    {-11986, "unrecognized request"},
    {-11985, "unknown error"},
    {-11984, "item not found"},
    {-11983, "item already exists"},
    {-11982, "assert failed"},
    {-11981, "bad memory address"},
    {-11980, "unknown error"},
    {-11979, "preference not found"},
    {-11978, "end of iteration"},
    {-11977, "improper initialization"},
    {-11976, "corrupt data"},
    {-11975, "feature not available"},
    {-11960, "disk full"},
    {-11959, "disk locked"},
    {-11956, "graphics operations failed"},
    {-11955, "memory operation failed"},
    {-11954, "network operation failed"},
    {-11953, "system security operation failed"},
    {-11952, "string operation failed"},
    {-11951, "wait operation failed"},
    {-11950, "thread operation failed"},
    {-11949, "volume operation failed"},
    {-11947, "NT driver I/O request operation failed"},
    {-11946, "NT driver kernel object operation failed"},
    {-11945, "Win32 COM operation failed"},
    {-11944, "Win32 common controls operation failed"},
    {-11943, "Win32 DLL operation failed"},
    {-11942, "Win32 registry operation failed"},
    {-11941, "Win32 resource operation failed"},
    {-11940, "Win32 window operation failed"},
};

TEST(PFLErrorString, EveryRowGivesItsTextExactly) {
  for (const Row& row : kRows) {
    char buffer[128];
    std::memset(buffer, 'x', sizeof buffer);
    ASSERT_EQ(QOXGetPFLErrorString(row.code, sizeof buffer, buffer), kQOXErrNoErr) << row.code;
    EXPECT_STREQ(buffer, row.text) << row.code;
  }
}

TEST(PFLErrorString, CodesWithoutRowAreNumbered) {
  // Gaps inside the range and codes outside it have no row.
  const QOXError codes[] = {-11993, -11974, -11948, -11939, -12001, 5, -11500};
  for (QOXError code : codes) {
    char buffer[64];
    ASSERT_EQ(QOXGetPFLErrorString(code, sizeof buffer, buffer), kQOXErrNoErr);
    EXPECT_EQ(std::string(buffer), "PFLError #" + std::to_string(code));
  }
}

TEST(PFLErrorString, TruncatesToTheBufferAndSaysSo) {
  struct Case {
    QOXError code;
    size_t size;
    const char* text;
    QOXError result;
  } const cases[] = {
      {-11985, 6, "unkno", kQOXErrBufferTooSmall},
      {-11985, 13, "unknown erro", kQOXErrBufferTooSmall},  // no room left for the NUL
      {-11985, 14, "unknown error", kQOXErrNoErr},
      {-11985, 1, "", kQOXErrBufferTooSmall},
      {-11993, 8, "PFLErro", kQOXErrBufferTooSmall},
  };
  for (const Case& c : cases) {
    char buffer[32];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(QOXGetPFLErrorString(c.code, c.size, buffer), c.result) << c.size;
    EXPECT_STREQ(buffer, c.text) << c.size;
    EXPECT_EQ(buffer[c.size], 'x') << "wrote past the buffer";
  }
}

TEST(PFLErrorString, RefusesNoBuffer) {
  char buffer[4];
  EXPECT_EQ(QOXGetPFLErrorString(0, 0, buffer), kQOXErrBadParams);
  EXPECT_EQ(QOXGetPFLErrorString(0, sizeof buffer, nullptr), kQOXErrBadParams);
}

}  // namespace
