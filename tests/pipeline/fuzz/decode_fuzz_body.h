// One fuzz step for the whole decode operation, shared by the libFuzzer
// target (decode_fuzz.cc), the random-mutation test that runs under the
// sanitiser build and the concurrency test. The first input byte steers:
// bit 0 runs the job as a key import (QOXImport into a new key database)
// instead of a message decode; bit 1 decodes recursively (nested messages);
// bit 2 answers the first passphrase event with the fixtures' passphrase; bit 3
// hands the job the key database of the fixtures' secret key. The rest is
// the input. Output is discarded. Whatever the input, the job must end with
// a result (no crash, overrun, leak or endless loop), and an import that
// succeeds leaves a database that can be walked and freed.
#ifndef OSTRAK_TESTS_PIPELINE_FUZZ_DECODE_FUZZ_BODY_H_
#define OSTRAK_TESTS_PIPELINE_FUZZ_DECODE_FUZZ_BODY_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "foundation/context.h"
#include "foundation/events.h"
#include "foundation/option_list.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "keydb/key_db.h"
#include "keydb/key_iter.h"

namespace decode_fuzz {

// The passphrase of the fixtures' conventionally encrypted messages.
inline constexpr char kPassphrase[] = "fixture";

struct Events {
  bool answerPassphrase = false;
  int passphraseEvents = 0;
  int events = 0;
};

inline QOXError OnEvent(QOXContext* context, QOXEvent* event, void* arg) {
  auto* seen = static_cast<Events*>(arg);
  ++seen->events;
  if (event->type == kQOXEvent_PassphraseEvent) {
    // The passphrase is offered once per job, as a user who gives up after
    // one wrong try; a reply without a secret skips the section, so a job
    // that keeps asking after that is a fault.
    if (++seen->passphraseEvents > 64) std::abort();
    if (seen->answerPassphrase && seen->passphraseEvents == 1) {
      return QOXAddJobOptions(event->job, QOXOPassphrase(context, kPassphrase), kQOXEndOfOptionList);
    }
  }
  return kQOXErrNoErr;
}

// Walks every key and subkey of the database (what a caller of an import
// does next), so objects left half-built by a bad input show up.
inline void Walk(QOXKeyDB* db) {
  QOXKeyIter* iter = nullptr;
  if (QOXNewKeyIterFromKeyDB(db, &iter) != kQOXErrNoErr) return;
  QOXKeyDBObj* key = nullptr;
  while (QOXKeyIterNextKeyDBObj(iter, 1, &key) == kQOXErrNoErr) {
    QOXKeyDBObj* sub = nullptr;
    while (QOXKeyIterNextKeyDBObj(iter, 2, &sub) == kQOXErrNoErr) {
    }
  }
  QOXFreeKeyIter(iter);
}

// keys: the database bit 3 hands to the job (may be null).
inline QOXError Run(QOXContext* context, QOXKeyDB* keys, const uint8_t* data, size_t size) {
  if (size == 0) return kQOXErrNoErr;
  const uint8_t steer = data[0];
  ++data;
  --size;
  if (steer & 1) {
    QOXKeyDB* db = nullptr;
    QOXError err = QOXImport(context, &db, QOXOInputBuffer(context, data, size), kQOXEndOfOptionList);
    if (err == kQOXErrNoErr && db == nullptr) std::abort();  // success must give a database
    if (db != nullptr) {
      Walk(db);
      QOXFreeKeyDB(db);
    }
    return err;
  }
  Events seen;
  seen.answerPassphrase = (steer & 4) != 0;
  QOXOptionListRef list = qoxNewOptionList(context, false);
  if (list == nullptr) std::abort();
  QOXError err = qoxAppendOptionListArgs(list, QOXOInputBuffer(context, data, size), QOXODiscardOutput(context, true),
                                         QOXOEventHandler(context, OnEvent, &seen),
                                         QOXORecursivelyDecode(context, (steer & 2) != 0), kQOXEndOfOptionList);
  if (err != kQOXErrNoErr) std::abort();
  if ((steer & 8) && keys != nullptr) {
    if (qoxAppendOptionListArgs(list, QOXOKeyDBRef(context, keys), kQOXEndOfOptionList) != kQOXErrNoErr) {
      std::abort();
    }
  }
  // The entry point takes the list over.
  return QOXDecode(context, list, kQOXEndOfOptionList);
}

}  // namespace decode_fuzz

#endif  // OSTRAK_TESTS_PIPELINE_FUZZ_DECODE_FUZZ_BODY_H_
