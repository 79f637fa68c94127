// Web-console requests: parsing of the request lines into the request
// record, table-driven.
#include "server/control_channel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct Parsed {
  QOXError rc;
  ConsoleRequest r;
};

Parsed Parse(const char* text) {
  Parsed p{};
  p.r.replyFd = -1;
  p.rc = ParseData(text, &p.r);
  return p;
}

TEST(ConsoleRequest, CommandsFromTheKeywordTable) {
  struct Case {
    const char* text;
    int command;
  };
  const Case cases[] = {
      {"GET STATUS\nNamed-Pipe: /tmp/x\n", kCmdStatus},
      {"get monitor now\nNamed-Pipe: /tmp/x\n", kCmdStatus},
      {"GET STATUS\nControl: disable\n", kCmdDisable},
      {"GET STATUS\nControl: ENABLE\n", kCmdEnable},
      {"GET STATUS\nControl: RESTART\n", kCmdRestart},
      {"GET STATUS\nControl: REBOOT\n", kCmdInvalid},
      {"GET LOG\nLOG-TYPE: ACCESS\n", kCmdAccessLog},
      {"GET LOG\nLOG-TYPE: error\n", kCmdErrorLog},
      {"GET LOG\nLOG-TYPE: DEBUG\n", kCmdInvalid},
      {"GET FILES\nNamed-Pipe: /tmp/x\n", kCmdInvalid},
      {"GET LOG\nEXIT now\n", kCmdExit},
      // A line without a value makes the command invalid.
      {"GET STATUS\nNamed-Pipe:\n", kCmdInvalid},
  };
  for (const Case& c : cases) EXPECT_EQ(Parse(c.text).r.command, c.command) << c.text;
}

TEST(ConsoleRequest, FieldsOfALogPageRequest) {
  Parsed p = Parse("GET LOG\nLOG-TYPE: ACCESS\nPosition: 1234\nPage-Size: 20\nPage-Action: prev\n"
                   "Named-Pipe: /tmp/reply\n");
  EXPECT_EQ(p.rc, 0);
  EXPECT_EQ(p.r.command, kCmdAccessLog);
  EXPECT_EQ(p.r.logType, 1);
  EXPECT_EQ(p.r.position, 1234);
  EXPECT_EQ(p.r.pageSize, 20);
  EXPECT_EQ(p.r.pageAction, kPagePrev);
  EXPECT_STREQ(p.r.replyName, "/tmp/reply");
}

TEST(ConsoleRequest, UnknownKeywordStopsParsingAndOnlySixLinesCount) {
  Parsed p = Parse("GET STATUS\nBogus: 1\nNamed-Pipe: /tmp/x\n");
  EXPECT_EQ(p.rc, kQOXErrBadParams);
  EXPECT_EQ(p.r.command, kCmdStatus);
  EXPECT_STREQ(p.r.replyName, "");  // after the failing line nothing is parsed

  p = Parse("GET LOG\nPage-Size: 1\nPage-Size: 2\nPage-Size: 3\nPage-Size: 4\nPage-Size: 5\nPage-Size: 6\n");
  EXPECT_EQ(p.r.pageSize, 5);

  // A long line is cut to its 255-byte slot; the name never overruns.
  std::string longName = "GET STATUS\nNamed-Pipe: /" + std::string(400, 'a') + "\n";
  p = Parse(longName.c_str());
  EXPECT_EQ(strlen(p.r.replyName), 255 - strlen("Named-Pipe: "));
}

}  // namespace
