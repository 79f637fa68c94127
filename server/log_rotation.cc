// When the access log is next rotated.
#include "server/log_rotation.h"

#include "server/error_log.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"

void GetSecondsTilNextCycle(int64_t* seconds, const struct tm* now, int cycleDay, int cycleTime) {
  int minuteOfDay = now->tm_hour * 60 + now->tm_min;
  int weekday = now->tm_wday;
  if ((cycleDay == 7 || cycleDay == weekday) && minuteOfDay < cycleTime) {
    *seconds = static_cast<int64_t>(cycleTime - minuteOfDay) * 60;
    return;
  }
  int64_t s = static_cast<int64_t>(24 * 60 - minuteOfDay) * 60;  // to the coming midnight
  if (cycleDay != 7) {
    int days = weekday < cycleDay ? cycleDay - weekday - 1 : cycleDay - weekday + 6;
    s += static_cast<int64_t>(days) * 24 * 3600;
  }
  *seconds = s + static_cast<int64_t>(cycleTime) * 60;
}

int CreateCycleLogContext(CycleLogContext** context) {
  *context = nullptr;
  time_t now = time(nullptr);
  struct tm local {};
  struct tm* ok;
  {
    QOXMutexGuard guard(&g->mutexTimeConvert);
    ok = localQOXtime(&now, 0, &local);
  }
  if (ok == nullptr) {
    LogError(kLogError, "A time of %d is not valid.", static_cast<int>(now));
    return 1;
  }
  CycleLogContext* c = static_cast<CycleLogContext*>(zovurezCalloc(1, sizeof(CycleLogContext)));
  if (c == nullptr) return 90;
  GetSecondsTilNextCycle(&c->secondsLeft, &local, g->CycleLogDay, g->CycleLogTime);
  c->lastCheck = now;
  *context = c;
  return 0;
}

void FreeCycleLogContext(CycleLogContext* context) { zovurezFree(context); }

bool IsCycleLogTime(CycleLogContext* context, time_t now) {
  if (context == nullptr || g == nullptr || g->CycleLogDay == 8) return false;
  int64_t elapsed = static_cast<int64_t>(now - context->lastCheck);
  context->lastCheck = now;
  if (context->secondsLeft == 0) return true;
  if (elapsed > context->secondsLeft) {
    context->secondsLeft = 0;
    return true;
  }
  context->secondsLeft -= elapsed;
  return false;
}
