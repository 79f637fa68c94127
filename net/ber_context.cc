// BER elements made in a toolkit context.
#include "foundation/context.h"
#include "foundation/errors.h"
#include "net/ber.h"

QOXError QOXNewBERElement(QOXContext* context, QOXberElement** outElement) {
  if (context == nullptr || outElement == nullptr) return kQOXErrBadParams;
  QOXMemoryMgr* mgr = QOXPeekContextMemoryMgr(context);
  if (mgr == nullptr) return kQOXErrBadParams;
  return qoxNewBERElement(mgr, outElement);
}
