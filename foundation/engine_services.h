// What the context record and file objects ask of the cryptographic engine,
// as one registered table.
//
// The engine (crypto/) sits above the foundation and calls it everywhere, so
// the foundation reaches the engine only through this table: freeing a
// context feeds the time into the global random pool and saves the pool to
// the seed file, and a stdio file frees and copies the CFB context the
// pipeline's file FIFO gave it. The engine registers its own functions,
// under these names, at start-up (crypto/engine_registration.h). Until then
// the entries in foundation/engine_services.cc answer as a toolkit without
// an engine: nothing is fed or saved (0), a CFB context is neither freed nor
// copied (null).
//
// Registration and doubles: foundation/service_table.h.
#ifndef OSTRAK_FOUNDATION_ENGINE_SERVICES_H_
#define OSTRAK_FOUNDATION_ENGINE_SERVICES_H_

#include <cstdint>

#include "foundation/errors.h"

struct QOXCFBContext;

struct QOXEngineServices {
  // Feeds one keystroke value into the global pool; the bits credited.
  uint32_t (*QOXGlobalRandomPoolAddKeystroke)(uint32_t keyValue);
  // Saves the global pool to the random seed file; 0 or an error.
  QOXError (*qoxSaveGlobalRandomPool)();
  QOXError (*QOXFreeCFBContext)(QOXCFBContext* cfb);
  QOXError (*QOXCopyCFBContext)(const QOXCFBContext* cfb, QOXCFBContext** outCopy);
};

// The table in force, and its registration (foundation/service_table.h).
const QOXEngineServices& qoxEngineServices();
const QOXEngineServices* qoxRegisterEngineServices(const QOXEngineServices* table);

#endif  // OSTRAK_FOUNDATION_ENGINE_SERVICES_H_
