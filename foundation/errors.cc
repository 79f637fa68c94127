// The foundation message table and its look-up.
#include "foundation/errors.h"

#include <cstdio>
#include <cstring>

namespace {

struct PFLErrorRow {
  QOXError code;
  const char* message;
};

// Searched in this order; kQOXErrUnknownError and kQOXErrUnknownError2 share their text.
constexpr PFLErrorRow kPFLErrorTable[] = {
    {kQOXErrNoErr, "not an error"},
    {kQOXErrBadParams, "bad parameters"},
    {kQOXErrOutOfMemory, "out of memory"},
    {kQOXErrBufferTooSmall, "buffer too small"},
    {kQOXErrFileNotFound, "file not found"},
    {kQOXErrCantOpenFile, "can't open file"},
    {kQOXErrFilePermissions, "file permissions"},
    {kQOXErrFileLocked, "file locked"},
    {kQOXErrIllegalFileOp, "illegal file operation"},
    {kQOXErrFileOpError, "file operation error"},
    {kQOXErrReadFailed, "read failed"},
    {kQOXErrWriteFailed, "write failed"},
    {kQOXErrEOF, "end of file"},
    {kQOXErrUserAbort, "user cancelled"},
    {kQOXErrUnrecognized, "unrecognized request"},
    {kQOXErrUnknownError, "unknown error"},
    {kQOXErrItemNotFound, "item not found"},
    {kQOXErrItemAlreadyExists, "item already exists"},
    {kQOXErrAssertFailed, "assert failed"},
    {kQOXErrBadMemoryAddress, "bad memory address"},
    {kQOXErrUnknownError2, "unknown error"},
    {kQOXErrPrefNotFound, "preference not found"},
    {kQOXErrEndOfIteration, "end of iteration"},
    {kQOXErrImproperInitialization, "improper initialization"},
    {kQOXErrCorruptData, "corrupt data"},
    {kQOXErrFeatureNotAvailable, "feature not available"},
    {kQOXErrDiskFull, "disk full"},
    {kQOXErrDiskLocked, "disk locked"},
    {kQOXErrGraphicsOpFailed, "graphics operations failed"},
    {kQOXErrMemoryOpFailed, "memory operation failed"},
    {kQOXErrNetworkOpFailed, "network operation failed"},
    {kQOXErrSecurityOpFailed, "system security operation failed"},
    {kQOXErrStringOpFailed, "string operation failed"},
    {kQOXErrWaitOpFailed, "wait operation failed"},
    {kQOXErrThreadOpFailed, "thread operation failed"},
    {kQOXErrVolumeOpFailed, "volume operation failed"},
    {kQOXErrNTDrvIOReqOpFailed, "NT driver I/O request operation failed"},
    {kQOXErrNTDrvObjectOpFailed, "NT driver kernel object operation failed"},
    {kQOXErrWin32COMOpFailed, "Win32 COM operation failed"},
    {kQOXErrWin32CommCtrlsOpFailed, "Win32 common controls operation failed"},
    {kQOXErrWin32DLLOpFailed, "Win32 DLL operation failed"},
    {kQOXErrWin32RegistryOpFailed, "Win32 registry operation failed"},
    {kQOXErrWin32ResourceOpFailed, "Win32 resource operation failed"},
    {kQOXErrWin32WindowOpFailed, "Win32 window operation failed"},
};
static_assert(sizeof(kPFLErrorTable) / sizeof(kPFLErrorTable[0]) == 44);

}  // namespace

QOXError QOXGetPFLErrorString(QOXError code, size_t bufferSize, char* buffer) {
  if (buffer == nullptr || bufferSize == 0) return kQOXErrBadParams;
  buffer[0] = '\0';

  const char* message = nullptr;
  for (const PFLErrorRow& row : kPFLErrorTable) {
    if (row.code == code) {
      message = row.message;
      break;
    }
  }
  char unknown[32];
  if (message == nullptr) {
    std::snprintf(unknown, sizeof unknown, "PFLError #%ld", static_cast<long>(code));
    message = unknown;
  }

  return qoxCopyErrorText(message, bufferSize, buffer);
}

QOXError qoxCopyErrorText(const char* text, size_t bufferSize, char* buffer) {
  size_t length = std::strlen(text);
  if (length + 1 <= bufferSize) {
    std::memcpy(buffer, text, length + 1);
    return kQOXErrNoErr;
  }
  std::memcpy(buffer, text, bufferSize - 1);
  buffer[bufferSize - 1] = '\0';
  return kQOXErrBufferTooSmall;
}
