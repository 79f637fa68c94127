// Toolkit time, Gregorian calendar and text forms.
#include "foundation/sdk_time.h"

#include <cstdio>
#include <cstring>

#include "foundation/context.h"

namespace {

// Seconds between the toolkit's epoch and POSIX time. Both count from
// 1970-01-01 00:00 UTC here; a non-zero value would shift every stored key
// and signature time.
constexpr int64_t kEpochOffset = 0;

constexpr int32_t kSecondsPerDay = 86400;

struct Civil {
  int32_t year;
  int32_t month;
  int32_t day;
};

// Days since 1970-01-01 to a Gregorian date, counting in 400-year eras that
// start on 1 March so the leap day falls at the end of each year.
Civil CivilFromDays(int32_t days) {
  int64_t z = static_cast<int64_t>(days) + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;                                       // [0, 146096]
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                // [0, 365]
  int64_t mp = (5 * doy + 2) / 153;                                     // [0, 11], March = 0
  int64_t d = doy - (153 * mp + 2) / 5 + 1;
  int64_t m = mp < 10 ? mp + 3 : mp - 9;
  int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
  return {static_cast<int32_t>(y), static_cast<int32_t>(m), static_cast<int32_t>(d)};
}

int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct Clock {
  Civil date;
  int32_t hour;
  int32_t minute;
  int32_t second;
};

Clock Split(QOXTime time) {
  int32_t days = static_cast<int32_t>(time / kSecondsPerDay);
  int32_t rest = static_cast<int32_t>(time % kSecondsPerDay);
  return {CivilFromDays(days), rest / 3600, (rest / 60) % 60, rest % 60};
}

}  // namespace

QOXTime QOXGetTime() {
  if (qoxEnterFunction() != kQOXErrNoErr) return 0;
  return static_cast<QOXTime>(static_cast<int64_t>(std::time(nullptr)) - kEpochOffset);
}

time_t QOXGetStdTimeFromQOXTime(QOXTime time) {
  if (qoxEnterFunction() != kQOXErrNoErr) return 0;
  return static_cast<time_t>(static_cast<int64_t>(time) + kEpochOffset);
}

QOXTime QOXGetQOXTimeFromStdTime(time_t stdTime) {
  if (qoxEnterFunction() != kQOXErrNoErr) return 0;
  return static_cast<QOXTime>(static_cast<int64_t>(stdTime) - kEpochOffset);
}

QOXTime qoxTimeStamp(int32_t hours) {
  return QOXGetTime() + static_cast<QOXTime>(static_cast<int64_t>(hours) * 3600);
}

void QOXGetYMDFromQOXTime(QOXTime time, uint16_t* outYear, uint16_t* outMonth, uint16_t* outDay) {
  if (qoxEnterFunction() != kQOXErrNoErr) return;
  Civil c = CivilFromDays(static_cast<int32_t>(time / kSecondsPerDay));
  if (outYear != nullptr) *outYear = static_cast<uint16_t>(c.year);
  if (outMonth != nullptr) *outMonth = static_cast<uint16_t>(c.month);
  if (outDay != nullptr) *outDay = static_cast<uint16_t>(c.day);
}

int32_t qoxDateFromYMD(int32_t year, int32_t month, int32_t day) {
  return static_cast<int32_t>(DaysFromCivil(year, month, day));
}

void qoxDateToYMD(int32_t dayNumber, int32_t* outYear, int32_t* outMonth, int32_t* outDay) {
  Civil c = CivilFromDays(dayNumber);
  if (outYear != nullptr) *outYear = c.year;
  if (outMonth != nullptr) *outMonth = c.month;
  if (outDay != nullptr) *outDay = c.day;
}

struct tm* qoxLocalTime(const QOXTime* time) {
  thread_local struct tm broken;
  time_t t = static_cast<time_t>(static_cast<int64_t>(*time) + kEpochOffset);
  return localtime_r(&t, &broken);
}

const char* qoxCTime(const QOXTime* time) {
  thread_local char text[64];
  time_t t = static_cast<time_t>(static_cast<int64_t>(*time) + kEpochOffset);
  return ctime_r(&t, text);
}

int qoxDateString(QOXTime time, char* buffer) {
  if (time == 0) {
    std::memcpy(buffer, "          ", 11);
    return 10;
  }
  Civil c = Split(time).date;
  std::snprintf(buffer, kQOXDateStringSize, "%4d-%02d-%02d", static_cast<int>(c.year),
                static_cast<int>(c.month), static_cast<int>(c.day));
  return 10;
}

int qoxTimeString(QOXTime time, char* buffer) {
  qoxDateString(time, buffer);
  Clock k = Split(time);
  std::snprintf(buffer + 10, kQOXTimeStringSize - 10, " %02d:%02d GMT", static_cast<int>(k.hour),
                static_cast<int>(k.minute));
  return 20;
}

int qoxTimeToX509Time(QOXTime time, char* buffer) {
  Clock k = Split(time);
  char text[64];
  int n = 0;
  if (k.date.year < 2050) {
    n = std::snprintf(text, sizeof text, "%02d%02d%02d%02d%02d%02dZ", static_cast<int>(k.date.year % 100),
                      static_cast<int>(k.date.month), static_cast<int>(k.date.day), static_cast<int>(k.hour),
                      static_cast<int>(k.minute), static_cast<int>(k.second));
  } else {
    n = std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02dZ", static_cast<int>(k.date.year),
                      static_cast<int>(k.date.month), static_cast<int>(k.date.day), static_cast<int>(k.hour),
                      static_cast<int>(k.minute), static_cast<int>(k.second));
  }
  std::memcpy(buffer, text, static_cast<size_t>(n) + 1);
  return n;
}
