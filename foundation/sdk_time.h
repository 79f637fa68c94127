// The toolkit's time value and its calendar and text forms.
//
// QOXTime is an unsigned 32-bit count of seconds since 1970-01-01 00:00 UTC,
// so it runs until 2106-02-07. It equals POSIX time on this platform (the
// epoch offset is 0). Day numbers count days since 1970-01-01. The calendar
// is the Gregorian one (2100 is not a leap year).
//
// Thread safety: every call is safe from any thread; qoxLocalTime and
// qoxCTime return per-thread storage that the next call of the same thread
// overwrites.
#ifndef OSTRAK_FOUNDATION_SDK_TIME_H_
#define OSTRAK_FOUNDATION_SDK_TIME_H_

#include <cstdint>
#include <ctime>

using QOXTime = uint32_t;

// Now; 0 when the toolkit's entry gate refuses.
QOXTime QOXGetTime();
// Conversions to and from POSIX time; 0 when the entry gate refuses.
time_t QOXGetStdTimeFromQOXTime(QOXTime time);
QOXTime QOXGetQOXTimeFromStdTime(time_t stdTime);
// Now plus the given number of hours.
QOXTime qoxTimeStamp(int32_t hours);

// Each output is optional; nothing is written when the entry gate refuses.
void QOXGetYMDFromQOXTime(QOXTime time, uint16_t* outYear, uint16_t* outMonth, uint16_t* outDay);
// Day number of a date (month 1-12), and back.
int32_t qoxDateFromYMD(int32_t year, int32_t month, int32_t day);
void qoxDateToYMD(int32_t dayNumber, int32_t* outYear, int32_t* outMonth, int32_t* outDay);

// The local broken-down time and the ctime text of a time.
struct tm* qoxLocalTime(const QOXTime* time);
const char* qoxCTime(const QOXTime* time);

// Buffer sizes that hold each text with its NUL.
inline constexpr int kQOXDateStringSize = 11;
inline constexpr int kQOXTimeStringSize = 21;
inline constexpr int kQOXX509TimeSize = 16;

// "YYYY-MM-DD" (UTC), or ten spaces for time 0; returns 10.
int qoxDateString(QOXTime time, char* buffer);
// The date, then " HH:MM GMT"; returns 20.
int qoxTimeString(QOXTime time, char* buffer);
// UTCTime "YYMMDDHHMMSSZ" (13) for years before 2050, else GeneralizedTime
// "YYYYMMDDHHMMSSZ" (15); returns the length.
int qoxTimeToX509Time(QOXTime time, char* buffer);

#endif  // OSTRAK_FOUNDATION_SDK_TIME_H_
