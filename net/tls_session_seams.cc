// Seams: the TLS session calls that the sockets layer makes. Their real
// bodies come with the TLS engine, which deletes each block here as it
// brings the real call. Until then a session cannot be made, so these only
// answer "feature not available" (or nothing waiting).
#include "net/tls_session.h"

// --- seam: QOXtlsSetReceiveCallback (TLS engine) ---
QOXError QOXtlsSetReceiveCallback(QOXtlsSession*, QOXtlsReceiveProc, intptr_t) {
  return kQOXErrFeatureNotAvailable;
}

// --- seam: QOXtlsSetSendCallback (TLS engine) ---
QOXError QOXtlsSetSendCallback(QOXtlsSession*, QOXtlsSendProc, intptr_t) {
  return kQOXErrFeatureNotAvailable;
}

// --- seam: QOXtlsSetRemoteUniqueID (TLS engine) ---
QOXError QOXtlsSetRemoteUniqueID(QOXtlsSession*, uint32_t) { return kQOXErrFeatureNotAvailable; }

// --- seam: QOXtlsHandshake (TLS engine) ---
QOXError QOXtlsHandshake(QOXtlsSession*) { return kQOXErrFeatureNotAvailable; }

// --- seam: QOXtlsSend (TLS engine) ---
QOXError QOXtlsSend(QOXtlsSession*, const void*, uint32_t) { return kQOXErrFeatureNotAvailable; }

// --- seam: QOXtlsReceive (TLS engine) ---
QOXError QOXtlsReceive(QOXtlsSession*, void*, uint32_t* ioLength) {
  if (ioLength) *ioLength = 0;
  return kQOXErrFeatureNotAvailable;
}

// --- seam: QOXtlsReceiveBufferSize (TLS engine) ---
uint32_t QOXtlsReceiveBufferSize(QOXtlsSession*) { return 0; }
