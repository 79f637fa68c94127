// Toolkit time against Python's datetime over the whole 32-bit range.
#include "foundation/sdk_time.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "foundation/context.h"
#include "python_oracle.h"

namespace {

constexpr char kOracle[] = R"PY(
import sys, datetime
epoch = datetime.datetime(1970, 1, 1)
for arg in sys.argv[1:]:
    t = int(arg)
    d = epoch + datetime.timedelta(seconds=t)
    date = '          ' if t == 0 else '%4d-%02d-%02d' % (d.year, d.month, d.day)
    tstr = date + ' %02d:%02d GMT' % (d.hour, d.minute)
    if d.year < 2050:
        x = d.strftime('%y%m%d%H%M%SZ')
    else:
        x = '%04d%02d%02d%02d%02d%02dZ' % (d.year, d.month, d.day, d.hour, d.minute, d.second)
    days = (d.date() - epoch.date()).days
    print(t, d.year, d.month, d.day, days, x, tstr.replace(' ', '_'))
)PY";

TEST(SdkTimeTest, CalendarAndTextFormsMatchPython) {
  std::vector<QOXTime> times = {
      0, 1, 86399, 86400, 68169599, 68169600,           // 1972-02-29 / 03-01
      946684800,                                        // 2000-01-01 (a leap century)
      2147483647u, 2147483648u,                         // 2038-01-19 03:14:07 and one past
      2524607999u, 2524608000u,                         // 2049-12-31 / 2050-01-01
      4107455999u, 4107456000u, 4107542400u,           // 2100-02-28 / 03-01 (no 2100-02-29)
      4133980799u, 4133980800u,                         // 2100-12-31 / 2101-01-01
      4294944000u, 4294967295u,                         // last day of the range
  };
  std::mt19937 rng(2106);
  for (int i = 0; i < 300; ++i) times.push_back(static_cast<QOXTime>(rng()));
  std::string args;
  for (QOXTime t : times) args += std::to_string(t) + " ";
  std::vector<std::string> lines = RunPython(kOracle, args);
  ASSERT_EQ(lines.size(), times.size());

  for (const std::string& line : lines) {
    std::istringstream in(line);
    uint64_t t;
    int year, month, day, days;
    std::string x509, tstr;
    in >> t >> year >> month >> day >> days >> x509 >> tstr;
    for (char& c : tstr)
      if (c == '_') c = ' ';
    SCOPED_TRACE(line);
    QOXTime time = static_cast<QOXTime>(t);

    uint16_t y = 0, m = 0, d = 0;
    QOXGetYMDFromQOXTime(time, &y, &m, &d);
    EXPECT_EQ(y, year);
    EXPECT_EQ(m, month);
    EXPECT_EQ(d, day);
    EXPECT_EQ(qoxDateFromYMD(year, month, day), days);
    int32_t y2, m2, d2;
    qoxDateToYMD(days, &y2, &m2, &d2);
    EXPECT_EQ(y2, year);
    EXPECT_EQ(m2, month);
    EXPECT_EQ(d2, day);

    char date[kQOXDateStringSize], full[kQOXTimeStringSize], x[kQOXX509TimeSize];
    EXPECT_EQ(qoxDateString(time, date), 10);
    EXPECT_EQ(std::string(date), tstr.substr(0, 10));
    EXPECT_EQ(qoxTimeString(time, full), 20);
    EXPECT_EQ(std::string(full), tstr);
    EXPECT_EQ(qoxTimeToX509Time(time, x), static_cast<int>(x509.size()));
    EXPECT_EQ(std::string(x), x509);
  }
}

TEST(SdkTimeTest, NamedTextCases) {
  char buf[kQOXX509TimeSize];
  EXPECT_EQ(qoxTimeToX509Time(946684800, buf), 13);
  EXPECT_STREQ(buf, "000101000000Z");
  EXPECT_EQ(qoxTimeToX509Time(2524608000u, buf), 15);
  EXPECT_STREQ(buf, "20500101000000Z");
  char date[kQOXDateStringSize];
  qoxDateString(86400, date);
  EXPECT_STREQ(date, "1970-01-02");
}

TEST(SdkTimeTest, NowEqualsPosixTimeAndStampsAddHours) {
  time_t before = time(nullptr);
  QOXTime now = QOXGetTime();
  time_t after = time(nullptr);
  EXPECT_GE(static_cast<time_t>(now), before);
  EXPECT_LE(static_cast<time_t>(now), after);
  EXPECT_EQ(QOXGetStdTimeFromQOXTime(123456), 123456);
  EXPECT_EQ(QOXGetQOXTimeFromStdTime(123456), 123456u);
  QOXTime stamp = qoxTimeStamp(2);
  EXPECT_GE(stamp, now + 7200);
  EXPECT_LE(stamp, static_cast<QOXTime>(time(nullptr)) + 7200);
  QOXTime t = 86400 * 3;
  EXPECT_NE(qoxCTime(&t), nullptr);
  EXPECT_NE(qoxLocalTime(&t), nullptr);
}

}  // namespace
