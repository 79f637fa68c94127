#include "foundation/core/file_spec_api.h"

#include "foundation/context.h"
#include "foundation/file_spec.h"
#include "crypto/pkalg.h"
#include "foundation/macbinary.h"

QOXError QOXNewFileSpecFromFullPath(QOXContext* context, const char* path, PFLFileSpec** outSpec) {
  if (outSpec == nullptr) return kQOXErrBadParams;
  *outSpec = nullptr;
  if (!qoxContextIsValid(context)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  return PFLNewFileSpecFromFullPath(QOXPeekContextMemoryMgr(context), path, outSpec);
}

QOXError QOXGetFullPathFromFileSpec(const PFLFileSpec* spec, char** outPath) {
  if (outPath == nullptr) return kQOXErrBadParams;
  *outPath = nullptr;
  if (!pflFileSpecIsValid(spec)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  err = PFLGetFullPathFromFileSpec(spec, outPath);
  if (err != kQOXErrNoErr) *outPath = nullptr;
  return err;
}

QOXError QOXCopyFileSpec(const PFLFileSpec* spec, PFLFileSpec** outCopy) {
  if (outCopy == nullptr) return kQOXErrBadParams;
  *outCopy = nullptr;
  if (!pflFileSpecIsValid(spec)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  return PFLCopyFileSpec(spec, outCopy);
}

QOXError QOXFreeFileSpec(PFLFileSpec* spec) {
  if (!pflFileSpecIsValid(spec)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  return PFLFreeFileSpec(spec);
}

QOXError QOXRenameFile(PFLFileSpec* spec, const char* newName) {
  if (!pflFileSpecIsValid(spec) || newName == nullptr) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  return PFLFileSpecRename(spec, newName);
}

QOXError QOXDeleteFile(const PFLFileSpec* spec) {
  if (!pflFileSpecIsValid(spec)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  return PFLFileSpecDelete(spec);
}

QOXError QOXMacBinaryToLocal(const PFLFileSpec* spec, PFLFileSpec** outSpec, uint32_t* outType,
                             uint32_t* outCreator) {
  if (outSpec != nullptr) *outSpec = nullptr;
  if (outType != nullptr) *outType = 0;
  if (outCreator != nullptr) *outCreator = 0;
  if (outSpec == nullptr || !pflFileSpecIsValid(spec)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  return qoxMacBinaryToLocal(spec, outSpec, outType, outCreator);
}
