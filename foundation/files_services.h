// Calls that file objects and signature specifications make into services
// whose real code comes with later subsystems. Until each lands, its body in
// foundation/files_service_seams.cc gives a defined answer:
//   - qoxGetKeyNumber (key database): -11975 "feature not available", so a
//     signature spec cannot be made for a key yet;
//   - qoxQOXFileReadCreate (message pipeline): null, no module can be made.
// Whoever writes the real call deletes its block there and declares the call
// in its own header. Tests install a double with qoxSetFilesServicesDouble.
//
// Thread safety: the seam bodies are stateless; the double pointer is atomic.
#ifndef OSTRAK_FOUNDATION_FILES_SERVICES_H_
#define OSTRAK_FOUNDATION_FILES_SERVICES_H_

#include <cstdint>

#include "foundation/errors.h"

struct QOXContext;
struct QOXKeyDBObj;
struct QOXFile;
struct QOXPipeModule;  // a message-pipeline module

// Key property numbers read here.
inline constexpr int32_t kQOXKeyProperty_AlgorithmID = 200;

// A numeric property of a key (200: its public-key algorithm, 17 = DSA).
QOXError qoxGetKeyNumber(QOXKeyDBObj* key, int32_t property, int32_t* outValue);

// A file-read pipeline module ("File Read Module") over the file, or null
// when memory runs out.
QOXPipeModule* qoxQOXFileReadCreate(QOXContext* context, QOXFile* file, int flag);

// --- Test double ---
struct QOXFilesServicesDouble {
  QOXError (*getKeyNumber)(QOXKeyDBObj*, int32_t, int32_t*);
  QOXPipeModule* (*fileReadCreate)(QOXContext*, QOXFile*, int);
};
// Installs (or, with null, removes) the double; a null member answers as the
// seam does. The record must outlive its use.
void qoxSetFilesServicesDouble(const QOXFilesServicesDouble* services);

#endif  // OSTRAK_FOUNDATION_FILES_SERVICES_H_
