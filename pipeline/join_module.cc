// The join module: several inputs, one output, bytes in input order.
//
// Each input is a module of its own; the first one holds the output as its
// tail, and every input reaches it through `first`. One input is live at a
// time, starting with the first: it drains its FIFO into the output and
// then writes straight through. An input that is not live parks what it is
// given in its FIFO. An input's promise is the count of bytes it will still
// pass to the output (its FIFO's bytes included); the advice 0 marks it
// done, and a live input that is done and drained hands over to the next.
#include <cstring>

#include "pipeline/generic_modules.h"
#include "pipeline/module_support.h"

using qox_pipeline::FreeModule;
using qox_pipeline::ModuleOps;
using qox_pipeline::NewModule;
using qox_pipeline::StateOf;

namespace {

struct JoinInput {
  const QOXFifoDesc* fifoDesc;
  QOXFifo* fifo;
  QOXPipeline* tail;   // first input: the join's output
  QOXPipeline* next;   // the input after this one
  QOXPipeline* first;  // the first input
  uint64_t promise;    // bytes still to pass to the output
  bool promised;
  bool live;
  bool done;
  bool tornDown;
  bool outputAdvised;  // first input: the sum of promises went out
};

JoinInput* In(QOXPipeline* m) { return StateOf<JoinInput>(m); }
QOXPipeline* Output(QOXPipeline* m) { return In(In(m)->first)->tail; }

void TakeOffPromise(JoinInput* in, size_t sent) {
  if (in->promised) in->promise -= sent < in->promise ? sent : in->promise;
}

// Passes what a live input holds to the output.
QOXError Drain(QOXPipeline* m) {
  JoinInput* in = In(m);
  QOXPipeline* out = Output(m);
  for (;;) {
    size_t run = 0;
    const uint8_t* p = in->fifoDesc->peek(in->fifo, &run);
    if (p == nullptr || run == 0) return kQOXErrNoErr;
    size_t sent = 0;
    QOXError err = qoxPipelineWriteAll(out, p, run, &sent);
    in->fifoDesc->seek(in->fifo, sent);
    TakeOffPromise(in, sent);
    if (err != kQOXErrNoErr) return err;
  }
}

// While the live input is done and drained, the next one takes over; after
// the last, the output hears the end.
QOXError HandOver(QOXPipeline* m) {
  QOXPipeline* live = m;
  while (In(live)->live && In(live)->done && In(live)->fifoDesc->size(In(live)->fifo) == 0) {
    In(live)->live = false;
    QOXPipeline* next = In(live)->next;
    if (next == nullptr) return Output(m)->sizeAdvise(Output(m), 0);
    In(next)->live = true;
    QOXError err = Drain(next);
    if (err != kQOXErrNoErr) return err;
    live = next;
  }
  return kQOXErrNoErr;
}

size_t JoinWrite(QOXPipeline* m, const uint8_t* bytes, size_t count, QOXError* error) {
  JoinInput* in = In(m);
  *error = kQOXErrNoErr;
  if (Output(m) == nullptr) {
    *error = kQOXErrBadParams;
    return 0;
  }
  if (!in->live) {
    int64_t n = in->fifoDesc->write(in->fifo, bytes, count);
    if (n < 0) {
      *error = static_cast<QOXError>(n);
      return 0;
    }
    if (static_cast<size_t>(n) < count) *error = kQOXErrOutOfMemory;
    return static_cast<size_t>(n);
  }
  QOXError err = Drain(m);
  if (err != kQOXErrNoErr) {
    *error = err;
    return 0;
  }
  size_t sent = 0;
  *error = qoxPipelineWriteAll(Output(m), bytes, count, &sent);
  TakeOffPromise(in, sent);
  return sent;
}

QOXError JoinFlush(QOXPipeline* m) {
  if (Output(m) == nullptr) return kQOXErrBadParams;
  if (In(m)->live) {
    QOXError err = Drain(m);
    if (err != kQOXErrNoErr) return err;
    err = HandOver(m);
    if (err != kQOXErrNoErr) return err;
  }
  return Output(m)->flush(Output(m));
}

QOXError JoinAnnotate(QOXPipeline* m, QOXPipeline* origin, uint32_t type, void* data, size_t count) {
  switch (type) {
    case kQOXAnnBinaryMsgBegin:
    case kQOXAnnBinaryMsgEnd:
    case kQOXAnnInputBegin:
    case kQOXAnnInputEnd:
      return kQOXErrNoErr;
    default:
      break;
  }
  QOXPipeline* out = Output(m);
  if (out == nullptr) return kQOXErrBadParams;
  if (In(m)->live) {
    QOXError err = Drain(m);
    if (err != kQOXErrNoErr) return err;
  }
  return out->annotate(out, origin, type, data, count);
}

QOXError JoinSizeAdvise(QOXPipeline* m, uint64_t bytes) {
  JoinInput* in = In(m);
  QOXPipeline* out = Output(m);
  if (out == nullptr) return kQOXErrBadParams;
  uint64_t held = in->fifoDesc->size(in->fifo);
  if (!in->promised) {
    in->promise = bytes + held;
    in->promised = true;
  } else if (bytes != in->promise - (held < in->promise ? held : in->promise)) {
    return kQOXErrSizeAdviseFailure;
  }
  if (bytes == 0) in->done = true;

  JoinInput* first = In(in->first);
  if (!first->outputAdvised) {
    uint64_t sum = 0;
    bool all = true;
    for (QOXPipeline* p = in->first; p != nullptr; p = In(p)->next) {
      all = all && In(p)->promised;
      sum += In(p)->promise;
    }
    if (all && sum > 0) {
      first->outputAdvised = true;
      QOXError err = out->sizeAdvise(out, sum);
      if (err != kQOXErrNoErr) return err;
    }
  }
  if (!in->live) return kQOXErrNoErr;
  QOXError err = Drain(m);
  if (err != kQOXErrNoErr) return err;
  return HandOver(m);
}

QOXError JoinTeardown(QOXPipeline* m) {
  In(m)->tornDown = true;
  QOXPipeline* first = In(m)->first;
  for (QOXPipeline* p = first; p != nullptr; p = In(p)->next) {
    if (!In(p)->tornDown) return kQOXErrNoErr;
  }
  qoxPipelineTeardown(In(first)->tail);
  for (QOXPipeline* p = first; p != nullptr;) {
    QOXPipeline* next = In(p)->next;
    In(p)->fifoDesc->destroy(In(p)->fifo);
    FreeModule<JoinInput>(p);
    p = next;
  }
  return kQOXErrNoErr;
}

constexpr ModuleOps kJoinOps = {JoinWrite, JoinFlush, JoinAnnotate, JoinSizeAdvise, JoinTeardown};

QOXPipeline* NewInput(QOXContext* context, const QOXFifoDesc* fifoDesc, const char* name) {
  if (fifoDesc == nullptr) return nullptr;
  QOXPipeline* m = NewModule<JoinInput>(context, kQOXMagicJoin, name, kJoinOps);
  if (m == nullptr) return nullptr;
  JoinInput* in = In(m);
  in->fifoDesc = fifoDesc;
  in->fifo = fifoDesc->create(context);
  if (in->fifo == nullptr) {
    FreeModule<JoinInput>(m);
    return nullptr;
  }
  return m;
}

}  // namespace

QOXPipeline** qoxJoinCreate(QOXContext* context, QOXPipeline** slot, const QOXFifoDesc* fifoDesc) {
  if (slot == nullptr) return nullptr;
  QOXPipeline* m = NewInput(context, fifoDesc, "Join Module");
  if (m == nullptr) return nullptr;
  JoinInput* in = In(m);
  in->first = m;
  in->live = true;
  in->tail = *slot;
  *slot = m;
  return &in->tail;
}

QOXPipeline* qoxJoinAppend(QOXPipeline* input) {
  if (input == nullptr || input->magic != kQOXMagicJoin) return nullptr;
  JoinInput* at = In(input);
  QOXPipeline* m = NewInput(input->context, In(at->first)->fifoDesc, "Join Module Appendage");
  if (m == nullptr) return nullptr;
  In(m)->first = at->first;
  In(m)->next = at->next;
  at->next = m;
  return m;
}

size_t qoxJoinBuffer(QOXPipeline* input, const uint8_t* bytes, size_t count) {
  if (input == nullptr || input->magic != kQOXMagicJoin) return 0;
  JoinInput* in = In(input);
  int64_t n = in->fifoDesc->write(in->fifo, bytes, count);
  return n < 0 ? 0 : static_cast<size_t>(n);
}
