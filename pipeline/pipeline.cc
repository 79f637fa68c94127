// Calls on any module.
#include "pipeline/pipeline.h"

#include <cstring>

QOXError qoxPipelineWriteAll(QOXPipeline* module, const uint8_t* bytes, size_t count, size_t* sent) {
  size_t done = 0;
  QOXError err = module != nullptr ? kQOXErrNoErr : kQOXErrBadParams;
  while (err == kQOXErrNoErr && done < count) {
    QOXError step = kQOXErrNoErr;
    size_t took = module->write(module, bytes + done, count - done, &step);
    if (took > count - done) took = count - done;
    done += took;
    if (step != kQOXErrNoErr) {
      err = step;
      break;
    }
    if (took == 0) {
      // Nothing taken and nothing said: stop rather than spin.
      err = kQOXErrWriteFailed;
      break;
    }
  }
  if (sent != nullptr) *sent = done;
  return err;
}

void qoxPipelineTeardown(QOXPipeline* module) {
  if (module != nullptr) module->teardown(module);
}

QOXError qoxAnnAnswerU32(void* data, size_t count, uint32_t value) {
  if (data == nullptr || count < sizeof value) return kQOXErrBadParams;
  std::memcpy(data, &value, sizeof value);
  return kQOXErrNoErr;
}
