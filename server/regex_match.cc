// regex_matches: compile, match, free, with the compile error logged.
#include <cstdio>

#include "foundation/context.h"
#include "foundation/regex.h"
#include "foundation/sdk_errors.h"
#include "server/error_log.h"
#include "server/text_match.h"

int regex_matches(QOXContext* context, QOXMutex* mutex, const char* pattern, const char* subject) {
  QOXMutexGuard guard(mutex);  // a null mutex: none taken
  QOXRegExp* expression = nullptr;
  int result = 0;
  QOXError err = qoxRegComp(context, pattern, &expression);
  if (err != 0) {
    char text[256] = "";
    QOXGetErrorString(err, sizeof text, text);  // a truncated text is still shown
    LogError(kLogError, "Compiling regex failed with error %d (%s)", err, text);
  } else {
    result = qoxRegExec(expression, subject != nullptr ? subject : "");
    if (result < 0) result = 0;
    qoxContextMemFree(context, expression);
  }
  return result;
}
