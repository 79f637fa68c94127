// Error texts of the toolkit range and the routing of QOXGetErrorString.
#include "foundation/sdk_errors.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

struct Row {
  QOXError code;
  std::string text;
};

// The expected texts are kept apart from the code, one "code<TAB>text" line
// per row, so a slip in either shows up as a mismatch.
std::vector<Row> LoadRows() {
  std::vector<Row> rows;
  std::ifstream in(std::string(OSTRAK_TEST_DATA) + "/toolkit_error_texts.tsv");
  std::string line;
  while (std::getline(in, line)) {
    size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    rows.push_back({static_cast<QOXError>(std::stol(line.substr(0, tab))), line.substr(tab + 1)});
  }
  return rows;
}

TEST(SDKErrorStringTest, EveryRowGivesItsTextByteForByte) {
  std::vector<Row> rows = LoadRows();
  ASSERT_EQ(rows.size(), 250u);
  std::set<QOXError> seen;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code);
    EXPECT_TRUE(seen.insert(row.code).second) << "duplicate code";
    EXPECT_GE(row.code, kQOXSDKErrFirst);
    EXPECT_LE(row.code, kQOXSDKErrLast);
    char buffer[128];
    std::memset(buffer, 'x', sizeof(buffer));
    ASSERT_EQ(QOXGetErrorString(row.code, sizeof(buffer), buffer), kQOXErrNoErr);
    EXPECT_EQ(std::string(buffer), row.text);
    // Exactly fitting buffer: text plus NUL is still whole.
    std::vector<char> exact(row.text.size() + 1, 'x');
    EXPECT_EQ(QOXGetErrorString(row.code, exact.size(), exact.data()), kQOXErrNoErr);
    EXPECT_EQ(std::string(exact.data()), row.text);
  }
}

TEST(SDKErrorStringTest, RoutingTruncationAndUnknownCodes) {
  struct Case {
    QOXError code;
    size_t size;
    QOXError result;
    const char* text;
  };
  const Case cases[] = {
      {kQOXErrBadPassphrase, 100, kQOXErrNoErr, "bad passphrase"},
      // The foundation range goes to the foundation's table, unknown codes
      // there included (its own "PFLError" form, not "QOXError").
      {kQOXErrBadParams, 100, kQOXErrNoErr, "bad parameters"},
      {-11501, 100, kQOXErrNoErr, "PFLError #-11501"},
      {-11000, 100, kQOXErrNoErr, "QOXError #-11000"},
      {-10877, 100, kQOXErrNoErr, "QOXError #-10877"},
      {-12001, 100, kQOXErrNoErr, "QOXError #-12001"},
      {0, 100, kQOXErrNoErr, "QOXError #0"},
      {5, 100, kQOXErrNoErr, "QOXError #5"},
      // Truncation: size - 1 bytes and a NUL.
      {kQOXErrBadPassphrase, 5, kQOXErrBufferTooSmall, "bad "},
      {kQOXErrBadPassphrase, 1, kQOXErrBufferTooSmall, ""},
      {kQOXErrBadPassphrase, 14, kQOXErrBufferTooSmall, "bad passphras"},
      {kQOXErrBadPassphrase, 15, kQOXErrNoErr, "bad passphrase"},
      {-11000, 8, kQOXErrBufferTooSmall, "QOXErro"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.code) + " size " + std::to_string(c.size));
    char buffer[128];
    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(QOXGetErrorString(c.code, c.size, buffer), c.result);
    EXPECT_STREQ(buffer, c.text);
    EXPECT_EQ(buffer[c.size], 'x') << "wrote past the buffer";
  }
}

TEST(SDKErrorStringTest, MissingBufferRefused) {
  char buffer[8] = "keep";
  EXPECT_EQ(QOXGetErrorString(kQOXErrBadPassphrase, 0, buffer), kQOXErrBadParams);
  EXPECT_STREQ(buffer, "keep");
  EXPECT_EQ(QOXGetErrorString(kQOXErrBadPassphrase, 8, nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXGetErrorString(kQOXErrBadParams, 0, buffer), kQOXErrBadParams);
}

}  // namespace
