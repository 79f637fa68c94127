// Foundation error codes and their messages.
//
// Every toolkit call returns a QOXError: 0 for success, a negative code
// otherwise. The foundation layer owns the codes from -12000 to -11940; the
// toolkit's own codes (-11500 .. -10878) live in foundation/sdk_errors.h.
// Codes inside the range that have no named constant have no message row.
//
// Thread safety: the message table is a compile-time constant; every call
// here is safe from any thread.
#ifndef OSTRAK_FOUNDATION_ERRORS_H_
#define OSTRAK_FOUNDATION_ERRORS_H_

#include <cstddef>
#include <cstdint>

using QOXError = int32_t;

inline constexpr QOXError kQOXErrNoErr = 0;
inline constexpr QOXError kQOXErrBadParams = -12000;
inline constexpr QOXError kQOXErrOutOfMemory = -11999;
inline constexpr QOXError kQOXErrBufferTooSmall = -11998;
inline constexpr QOXError kQOXErrFileNotFound = -11997;
inline constexpr QOXError kQOXErrCantOpenFile = -11996;
inline constexpr QOXError kQOXErrFilePermissions = -11995;
inline constexpr QOXError kQOXErrFileLocked = -11994;
inline constexpr QOXError kQOXErrIllegalFileOp = -11992;
inline constexpr QOXError kQOXErrFileOpError = -11991;
inline constexpr QOXError kQOXErrReadFailed = -11990;
inline constexpr QOXError kQOXErrWriteFailed = -11989;
inline constexpr QOXError kQOXErrEOF = -11988;
inline constexpr QOXError kQOXErrUserAbort = -11987;
inline constexpr QOXError kQOXErrUnrecognized = -11986;
inline constexpr QOXError kQOXErrUnknownError = -11985;
inline constexpr QOXError kQOXErrItemNotFound = -11984;
inline constexpr QOXError kQOXErrItemAlreadyExists = -11983;
inline constexpr QOXError kQOXErrAssertFailed = -11982;
inline constexpr QOXError kQOXErrBadMemoryAddress = -11981;
inline constexpr QOXError kQOXErrUnknownError2 = -11980;
inline constexpr QOXError kQOXErrPrefNotFound = -11979;
inline constexpr QOXError kQOXErrEndOfIteration = -11978;
inline constexpr QOXError kQOXErrImproperInitialization = -11977;
inline constexpr QOXError kQOXErrCorruptData = -11976;
inline constexpr QOXError kQOXErrFeatureNotAvailable = -11975;
inline constexpr QOXError kQOXErrDiskFull = -11960;
inline constexpr QOXError kQOXErrDiskLocked = -11959;
inline constexpr QOXError kQOXErrGraphicsOpFailed = -11956;
inline constexpr QOXError kQOXErrMemoryOpFailed = -11955;
inline constexpr QOXError kQOXErrNetworkOpFailed = -11954;
inline constexpr QOXError kQOXErrSecurityOpFailed = -11953;
inline constexpr QOXError kQOXErrStringOpFailed = -11952;
inline constexpr QOXError kQOXErrWaitOpFailed = -11951;
inline constexpr QOXError kQOXErrThreadOpFailed = -11950;
inline constexpr QOXError kQOXErrVolumeOpFailed = -11949;
inline constexpr QOXError kQOXErrNTDrvIOReqOpFailed = -11947;
inline constexpr QOXError kQOXErrNTDrvObjectOpFailed = -11946;
inline constexpr QOXError kQOXErrWin32COMOpFailed = -11945;
inline constexpr QOXError kQOXErrWin32CommCtrlsOpFailed = -11944;
inline constexpr QOXError kQOXErrWin32DLLOpFailed = -11943;
inline constexpr QOXError kQOXErrWin32RegistryOpFailed = -11942;
inline constexpr QOXError kQOXErrWin32ResourceOpFailed = -11941;
inline constexpr QOXError kQOXErrWin32WindowOpFailed = -11940;

// Lowest and highest code of the foundation range.
inline constexpr QOXError kQOXFoundationErrFirst = -12000;
inline constexpr QOXError kQOXFoundationErrLast = -11940;

// Writes the message of a foundation code into buffer (emptied first). An
// unknown code gives "PFLError #<code>". Returns 0 when the text and its NUL
// fit; otherwise bufferSize - 1 bytes of it, a NUL, and kQOXErrBufferTooSmall. A null buffer
// or a size of 0 gives -12000.
QOXError QOXGetPFLErrorString(QOXError code, size_t bufferSize, char* buffer);

// Copies a message text into a caller's buffer of bufferSize (> 0) bytes:
// whole with its NUL (0), or the first bufferSize - 1 bytes and a NUL
// (kQOXErrBufferTooSmall). Shared by the error-text look-ups.
QOXError qoxCopyErrorText(const char* text, size_t bufferSize, char* buffer);

#endif  // OSTRAK_FOUNDATION_ERRORS_H_
