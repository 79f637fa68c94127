// The handle of every random generator of the toolkit, and its operation
// table.
//
// The generators themselves (the global pool, the dummy pool, the X9.17
// generators) are the engine's (crypto/random_pool.h, crypto/x917.h); the
// handle type lives here, below the engine, because a context keeps its
// generators (foundation/context.h) and destroys them when it is freed.
//
// Thread safety: a handle is used by one thread at a time; what its
// operations lock is said by the generator that made it.
#ifndef OSTRAK_FOUNDATION_RANDOM_CONTEXT_H_
#define OSTRAK_FOUNDATION_RANDOM_CONTEXT_H_

#include <cstddef>
#include <cstdint>

struct QOXContext;

// Operations of a generator; the first argument is the handle's private word.
struct QOXRandomVTBL {
  const char* name;
  void (*addBytes)(void* priv, const uint8_t* bytes, size_t count);
  void (*getBytesEntropy)(void* priv, uint8_t* dest, size_t count, uint32_t entropyBits);
  void (*stir)(void* priv);
};

// The handle of every random generator: owning context (null for a temporary
// pool handle), operation table, private word, and a destroy procedure (null
// for a plain pool handle, whose block is then simply freed).
struct QOXRandomContext {
  QOXContext* context;
  const QOXRandomVTBL* vtbl;
  void* priv;
  void (*destroy)(QOXRandomContext* rc);
};

#endif  // OSTRAK_FOUNDATION_RANDOM_CONTEXT_H_
