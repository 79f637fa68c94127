// The random generators a context keeps: each made on first use, stored in
// the context's slot (foundation/context.h) and destroyed with the context.
//
// Thread safety: a context, and so its generators, belongs to one thread at
// a time.
#ifndef OSTRAK_CRYPTO_CONTEXT_RANDOM_H_
#define OSTRAK_CRYPTO_CONTEXT_RANDOM_H_

struct QOXContext;
struct QOXRandomContext;

// A handle over the global pool, followed by four timer readings into the
// pool; null when memory runs out.
QOXRandomContext* qoxContextGetGlobalPoolRandomContext(QOXContext* context);
// A handle over the all-zero dummy pool; null when memory runs out.
QOXRandomContext* qoxContextGetDummyRandomContext(QOXContext* context);
// The context's X9.17 generator (qoxRandomCreate, crypto/x917.h); null when
// it cannot be made.
QOXRandomContext* qoxContextGetX9_17RandomContext(QOXContext* context);

#endif  // OSTRAK_CRYPTO_CONTEXT_RANDOM_H_
