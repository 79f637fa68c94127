// The out-of-line deleters of foundation/scoped.h.
#include "foundation/scoped.h"

#include <unistd.h>

#include "foundation/keydb_services.h"
#include "foundation/memory_mgr.h"

namespace ostrak {

void Deleter<QOXKeyDB>::operator()(QOXKeyDB* db) const { (void)qoxKeyDBServices().QOXFreeKeyDB(db); }

void Deleter<QOXKeySet>::operator()(QOXKeySet* set) const { (void)qoxKeyDBServices().QOXFreeKeySet(set); }

void DataDeleter::operator()(void* block) const {
  if (block != nullptr) (void)QOXFreeData(block);
}

void InternalDeleter::operator()(void* block) const { qoxFree(block); }

ScopedDescriptor::~ScopedDescriptor() {
  if (fd_ >= 0) (void)close(fd_);
}

}  // namespace ostrak
