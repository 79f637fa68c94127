// What the layers below the message pipeline ask of it, as one registered
// table.
//
// The pipeline (pipeline/) sits above the foundation and the entry points,
// which call into it: the environment looks up the maps of a character set,
// file references make a file-read module, and the encode and decode entry
// points run their jobs. Each call is a member of QOXPipelineServices, named
// after it. The pipeline defines the real functions under those names and
// registers a table of them at start-up; until then each member answers with
// its stand-in in foundation/pipeline_seams.cc.
//
// Registration and doubles: foundation/service_table.h.
//
// Thread safety: calls through the table may come from any thread.
#ifndef OSTRAK_FOUNDATION_PIPELINE_SERVICES_H_
#define OSTRAK_FOUNDATION_PIPELINE_SERVICES_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/option_list.h"

struct QOXContext;
struct QOXFile;
struct QOXPipeModule;  // the message pipeline's file read pump (pipeline/file_read_pump.h)

struct QOXPipelineServices {
  // The two 256-entry translation maps of a named character set, the name
  // compared without case: kQOXErrUnknownCharset for an unknown name, -12000 for a null
  // argument.
  QOXError (*qoxCharmaps)(const char* name, size_t length, const uint8_t** firstMap, const uint8_t** secondMap);
  // A file read pump ("File Read Module") over the file, or null when memory
  // runs out; with closeFile set the pump closes the file when destroyed.
  QOXPipeModule* (*qoxQOXFileReadCreate)(QOXContext* context, QOXFile* file, int closeFile);
  // The encode and decode jobs the option list describes; each leaves the
  // list to the caller.
  QOXError (*qoxEncodeInternal)(QOXContext* context, QOXOptionListRef optionList);
  QOXError (*qoxDecodeInternal)(QOXContext* context, QOXOptionListRef optionList);

  // --- Whole buffers, for the key database's import and export ---
  // The whole input the options name (input file or input buffer) as one
  // buffer; *outAllocated says whether the caller frees it (QOXFreeData).
  // On failure every output is cleared.
  QOXError (*qoxSetupInputToBuffer)(QOXContext* context, QOXOptionListRef optionList, uint8_t** outBuffer,
                                    size_t* outLength, bool* outAllocated);
  // The binary data of a PEM-framed block ("-----BEGIN " and "-----END "
  // lines around Base64) in a new buffer of the context's memory.
  QOXError (*qoxRemovePEMEncoding)(QOXContext* context, const uint8_t* bytes, size_t length, uint8_t** outBuffer,
                                   size_t* outLength);
  // Writes the bytes to the output the options name (file, buffer,
  // allocated buffer), armored when asked; pemKind (0x1620 certificate,
  // 0x1621 certificate request, 0x1622 private key, 0 raw) selects the PEM
  // label.
  QOXError (*qoxOutputBufferByOptionList)(QOXContext* context, const uint8_t* bytes, size_t length,
                                          QOXOptionListRef optionList, uint32_t pemKind);
};

// The table in force, and its registration (foundation/service_table.h).
const QOXPipelineServices& qoxPipelineServices();
const QOXPipelineServices* qoxRegisterPipelineServices(const QOXPipelineServices* table);

#endif  // OSTRAK_FOUNDATION_PIPELINE_SERVICES_H_
