// What the modules of this folder share: allocating a module and its state
// in one block, reaching the state, and tracking the depth of scopes.
// Internal to pipeline/.
#ifndef OSTRAK_PIPELINE_MODULE_SUPPORT_H_
#define OSTRAK_PIPELINE_MODULE_SUPPORT_H_

#include <cstring>
#include <new>
#include <type_traits>

#include "foundation/context.h"
#include "pipeline/pipeline.h"

namespace qox_pipeline {

struct ModuleOps {
  size_t (*write)(QOXPipeline*, const uint8_t*, size_t, QOXError*);
  QOXError (*flush)(QOXPipeline*);
  QOXError (*annotate)(QOXPipeline*, QOXPipeline*, uint32_t, void*, size_t);
  QOXError (*sizeAdvise)(QOXPipeline*, uint64_t);
  QOXError (*teardown)(QOXPipeline*);
};

template <class State>
struct ModuleBlock {
  QOXPipeline module;  // first: the block's address is the module's
  State state;
};

// A zero-filled module with its state in the same block, or null.
template <class State>
QOXPipeline* NewModule(QOXContext* context, uint32_t magic, const char* name, const ModuleOps& ops) {
  static_assert(std::is_trivially_destructible_v<State>, "module state is wiped, never destroyed");
  void* raw = qoxContextMemAlloc(context, sizeof(ModuleBlock<State>), kQOXMemoryMgrFlags_Clear);
  if (raw == nullptr) return nullptr;
  auto* block = static_cast<ModuleBlock<State>*>(raw);
  new (&block->state) State();
  QOXPipeline& m = block->module;
  m.magic = magic;
  m.write = ops.write;
  m.flush = ops.flush;
  m.annotate = ops.annotate;
  m.sizeAdvise = ops.sizeAdvise;
  m.teardown = ops.teardown;
  m.name = name;
  m.context = context;
  m.priv = &block->state;
  return &m;
}

template <class State>
State* StateOf(QOXPipeline* module) {
  return static_cast<State*>(module->priv);
}

// Wipes and frees a block made by NewModule<State>.
template <class State>
void FreeModule(QOXPipeline* module) {
  QOXContext* context = module->context;
  std::memset(static_cast<void*>(module), 0, sizeof(ModuleBlock<State>));
  qoxContextMemFree(context, module);
}

// Moves *depth for a scope type; other types leave it.
inline void TrackDepth(uint32_t type, uint32_t* depth) {
  if (qoxAnnIsScopeBegin(type)) {
    ++*depth;
  } else if (qoxAnnIsScopeEnd(type) && *depth > 0) {
    --*depth;
  }
}

// Wipes a block before it is freed through the context.
inline void WipeAndFree(QOXContext* context, void* block, size_t size) {
  if (block == nullptr) return;
  std::memset(block, 0, size);
  qoxContextMemFree(context, block);
}

}  // namespace qox_pipeline

#endif  // OSTRAK_PIPELINE_MODULE_SUPPORT_H_
