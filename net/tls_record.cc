// The TLS engine's record layer and handshake-message reader: framing,
// protection and sending of records with the send queue; reading and
// checking them with the buffering that lets a non-blocking caller resume;
// the SSL 2.0 CLIENT-HELLO conversion; assembling, hashing and sending
// handshake messages.
//
// Outside bytes are read through ostrak::ByteCursor or with lengths checked
// against what arrived before they are used; no length read from the wire
// is trusted.
#include <algorithm>
#include <cstring>

#include "crypto/cbc.h"
#include "crypto/hash.h"
#include "foundation/byte_cursor.h"
#include "foundation/byte_order.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "net/tls_internal.h"

// --- Buffers ---

QOXError qoxTLSBufferAppend(QOXtlsSession* s, QOXtlsBuffer* buffer, const uint8_t* bytes, uint32_t length) {
  if (length == 0) return kQOXErrNoErr;
  if (length > kQOXMaxBlockDataSize - buffer->length) return kQOXErrOutOfMemory;
  void* data = buffer->data;
  QOXError err = QOXReallocData(s->memoryMgr, &data, buffer->length + length, kQOXMemoryMgrFlags_None);
  if (err != kQOXErrNoErr) return err;
  buffer->data = static_cast<uint8_t*>(data);
  std::memcpy(buffer->data + buffer->length, bytes, length);
  buffer->length += length;
  return kQOXErrNoErr;
}

void qoxTLSBufferTake(QOXtlsSession* s, QOXtlsBuffer* buffer, uint8_t* out, uint32_t* ioLength) {
  const uint32_t n = std::min(*ioLength, buffer->length);
  *ioLength = n;
  if (n == 0) return;
  std::memcpy(out, buffer->data, n);
  const uint32_t rest = buffer->length - n;
  if (rest == 0) {
    qoxTLSBufferFree(buffer);
    return;
  }
  std::memmove(buffer->data, buffer->data + n, rest);
  void* data = buffer->data;
  // Shrinking keeps the bytes; a refused shrink leaves the larger block.
  if (QOXReallocData(s->memoryMgr, &data, rest, kQOXMemoryMgrFlags_None) == kQOXErrNoErr)
    buffer->data = static_cast<uint8_t*>(data);
  buffer->length = rest;
}

void qoxTLSBufferFree(QOXtlsBuffer* buffer) {
  if (buffer->data != nullptr) QOXFreeData(buffer->data);
  buffer->data = nullptr;
  buffer->length = 0;
}

QOXError qoxTLSBufferRawData(QOXtlsSession* s, const uint8_t* bytes, uint32_t length) {
  return qoxTLSBufferAppend(s, &s->rawInput, bytes, length);
}

void qoxTLSExtractRawData(QOXtlsSession* s, uint8_t* out, uint32_t* ioLength) {
  qoxTLSBufferTake(s, &s->rawInput, out, ioLength);
}

QOXError qoxTLSBufferHandData(QOXtlsSession* s, const uint8_t* bytes, uint32_t length) {
  return qoxTLSBufferAppend(s, &s->handshakeIn, bytes, length);
}

QOXError qoxTLSExtractHandData(QOXtlsSession* s, uint8_t** ioBuffer, uint32_t* ioLength) {
  if (s->handshakeIn.length == 0) return kQOXErrNoErr;
  QOXtlsBuffer held = s->handshakeIn;
  QOXError err = qoxTLSBufferAppend(s, &held, *ioBuffer, *ioLength);
  if (err != kQOXErrNoErr) return err;
  if (*ioBuffer != nullptr) QOXFreeData(*ioBuffer);
  *ioBuffer = held.data;
  *ioLength = held.length;
  s->handshakeIn = QOXtlsBuffer{};
  return kQOXErrNoErr;
}

QOXError qoxTLSBufferSendData(QOXtlsSession* s, const uint8_t* bytes, uint32_t length) {
  return qoxTLSBufferAppend(s, &s->sendQueue, bytes, length);
}

// --- Sending ---

QOXError qoxTLSSendQueueIdleInternal(QOXtlsSession* s) {
  if (s->sendQueue.length == 0) return kQOXErrNoErr;
  if (s->sendProc == nullptr) return kQOXErrBadParams;
  const int32_t taken = s->sendProc(s->sendUserValue, s->sendQueue.data, s->sendQueue.length);
  if (taken == kQOXErrTLSWouldBlock) return kQOXErrTLSWouldBlock;
  if (taken < 0 || static_cast<uint32_t>(taken) != s->sendQueue.length) {
    s->state = kQOXtlsState_Fatal;
    return kQOXErrTLSUnexpectedClose;
  }
  qoxTLSBufferFree(&s->sendQueue);
  return kQOXErrNoErr;
}

QOXError qoxTLSSendRecordLayer(QOXtlsSession* s, uint8_t contentType, const uint8_t* fragment, uint32_t length) {
  if (fragment == nullptr) return kQOXErrBadParams;
  if (length > kQOXtlsMaxRecordLength) return kQOXErrBufferTooSmall;
  if (s->sendProc == nullptr) return kQOXErrBadParams;
  const uint32_t mac = s->writeKeys != nullptr ? s->macLength : 0;
  uint32_t padding = 0;  // p + 1 bytes of value p
  if (s->writeCipher != nullptr) {
    uint32_t p = kQOXtlsBlockSize - (length + mac + 1) % kQOXtlsBlockSize;
    if (p == kQOXtlsBlockSize) p = 0;
    padding = p + 1;
  }
  const uint32_t total = static_cast<uint32_t>(kQOXtlsRecordHeaderSize) + length + mac + padding;
  auto* record = static_cast<uint8_t*>(QOXNewData(s->memoryMgr, total, kQOXMemoryMgrFlags_None));
  if (record == nullptr) return kQOXErrOutOfMemory;
  record[0] = contentType;
  record[1] = kQOXtlsMajorVersion;
  record[2] = s->minorVersion;
  StoreBE16(record + 3, static_cast<uint16_t>(total - kQOXtlsRecordHeaderSize));
  uint8_t* payload = record + kQOXtlsRecordHeaderSize;
  if (length != 0) std::memcpy(payload, fragment, length);
  QOXError err = kQOXErrNoErr;
  if (mac != 0) err = qoxTLSCalculateMAC(s, kQOXtlsDirection_Write, contentType, fragment, length, payload + length);
  if (err == kQOXErrNoErr && padding != 0) {
    std::memset(payload + length + mac, static_cast<int>(padding - 1), padding);
    err = qoxCBCEncryptInternal(s->writeCipher, payload, total - kQOXtlsRecordHeaderSize, payload);
  }
  if (err != kQOXErrNoErr) {
    QOXFreeData(record);
    return err;
  }
  // What waits in the queue goes first.
  err = qoxTLSSendQueueIdleInternal(s);
  if (err == kQOXErrNoErr) {
    const int32_t taken = s->sendProc(s->sendUserValue, record, total);
    if (taken == kQOXErrTLSWouldBlock) {
      err = kQOXErrTLSWouldBlock;
    } else if (taken < 0 || static_cast<uint32_t>(taken) != total) {
      s->state = kQOXtlsState_Fatal;
      err = kQOXErrTLSUnexpectedClose;
    }
  }
  if (err == kQOXErrTLSWouldBlock) {
    QOXError queued = qoxTLSBufferSendData(s, record, total);
    if (queued != kQOXErrNoErr) err = queued;
  }
  QOXFreeData(record);
  return err;
}

QOXError qoxTLSSendHandshakePacket(QOXtlsSession* s, uint8_t messageType, const uint8_t* body, uint32_t length) {
  if (body == nullptr && length != 0) return kQOXErrBadParams;
  if (length > 0xFFFF) return kQOXErrBufferTooSmall;
  ostrak::ByteBuilder message;
  message.reserve(kQOXtlsHandshakeHeaderSize + length);
  message.append_u8(messageType);
  message.append_be(length, 3);
  message.append(body, length);
  if (messageType != kQOXtlsHello_Request && s->handshakeMD5 != nullptr && s->handshakeSHA != nullptr) {
    QOXContinueHash(s->handshakeMD5, message.data(), message.size());
    QOXContinueHash(s->handshakeSHA, message.data(), message.size());
  }
  return qoxTLSSendRecordLayer(s, kQOXtlsContent_Handshake, message.data(), static_cast<uint32_t>(message.size()));
}

// --- Receiving ---

namespace {

// Brings buf to `need` bytes, from the raw input first and then the receive
// callback. 0 when complete; when a non-blocking transport has nothing more,
// *isShort is set and the result is 0 or kQOXErrTLSWouldBlock as the
// callback said. Transport failures (and nothing in blocking mode) put the
// session in state 1 with kQOXErrTLSUnexpectedClose.
QOXError Fill(QOXtlsSession* s, uint8_t* buf, uint32_t need, uint32_t* have, bool* isShort) {
  *isShort = false;
  if (*have < need && s->rawInput.length != 0) {
    uint32_t n = need - *have;
    qoxTLSExtractRawData(s, buf + *have, &n);
    *have += n;
  }
  while (*have < need) {
    if (s->receiveProc == nullptr) return kQOXErrBadParams;
    const uint32_t asked = need - *have;
    const int32_t got = s->receiveProc(s->receiveUserValue, buf + *have, asked);
    if (got > 0 && static_cast<uint32_t>(got) <= asked) {
      *have += static_cast<uint32_t>(got);
      continue;
    }
    if ((got == 0 || got == kQOXErrTLSWouldBlock) && !s->blocking) {
      *isShort = true;
      return got == kQOXErrTLSWouldBlock ? kQOXErrTLSWouldBlock : kQOXErrNoErr;
    }
    s->state = kQOXtlsState_Fatal;
    return kQOXErrTLSUnexpectedClose;
  }
  return kQOXErrNoErr;
}

QOXError FatalAlert(QOXtlsSession* s, uint8_t description, QOXError result) {
  qoxTLSSendAlert(s, kQOXtlsAlertLevel_Fatal, description);
  return result;
}

// Removes the protection of a record read with active read keys: decrypts
// in place, checks the padding and the MAC, and sets *outLength to the
// fragment's length. Every padding or MAC failure, and a length that cannot
// hold them, is answered alike with a fatal bad_record_mac alert, and the
// MAC is computed in every case, so a peer learns nothing of the plaintext
// from which of them failed.
QOXError Unprotect(QOXtlsSession* s, uint8_t type, uint8_t* body, uint32_t length, uint32_t* outLength) {
  const uint32_t mac = s->macLength;
  bool good = true;
  uint32_t fragment;
  if (s->readCipher != nullptr) {
    if (length % kQOXtlsBlockSize != 0 || length < mac + 1)
      return FatalAlert(s, kQOXtlsAlert_BadRecordMAC, kQOXErrTLSProtocolViolation);
    QOXError err = qoxCBCDecryptInternal(s->readCipher, body, length, body);
    if (err != kQOXErrNoErr) return err;
    const uint32_t p = body[length - 1];
    const uint32_t room = length - mac;  // bytes before the MAC's place, padding included: at least 1
    good = p + 1 <= room;
    if (s->minorVersion == kQOXtlsMinorSSL30) {
      good = good && p < kQOXtlsBlockSize;  // the padding's bytes are not defined
    } else {
      // Every padding byte equals p: look at the last min(p + 1, room) bytes.
      uint8_t diff = 0;
      const uint32_t span = std::min(p + 1, room);
      for (uint32_t i = 1; i <= span; ++i) diff |= static_cast<uint8_t>(body[length - i] ^ p);
      good = good && diff == 0;
    }
    fragment = good ? room - (p + 1) : room;
  } else {
    if (length < mac) return FatalAlert(s, kQOXtlsAlert_BadRecordMAC, kQOXErrTLSProtocolViolation);
    fragment = length - mac;
  }
  uint8_t expected[kQOXMaxHashSize];
  QOXError err = qoxTLSCalculateMAC(s, kQOXtlsDirection_Read, type, body, fragment, expected);
  if (err != kQOXErrNoErr) return err;
  const bool macGood = qoxTLSEqualConstantTime(expected, body + fragment, mac);
  if (!(good && macGood)) return FatalAlert(s, kQOXtlsAlert_BadRecordMAC, kQOXErrTLSProtocolViolation);
  *outLength = fragment;
  return kQOXErrNoErr;
}

// The SSL 2.0 CLIENT-HELLO's fixed fields: message type, version, and the
// three 16-bit lengths.
constexpr uint32_t kSSL2HelloFixed = 9;

}  // namespace

QOXError qoxTLSReceiveRecordLayer(QOXtlsSession* s, uint8_t* outType, uint8_t** outBody, uint32_t* outLength) {
  *outType = 0;
  *outBody = nullptr;
  *outLength = 0;
  uint8_t header[kQOXtlsRecordHeaderSize];
  uint32_t have = 0;
  bool isShort = false;
  QOXError err = Fill(s, header, sizeof header, &have, &isShort);
  if (isShort) {
    QOXError kept = qoxTLSBufferRawData(s, header, have);
    return kept != kQOXErrNoErr ? kept : err;
  }
  if (err != kQOXErrNoErr) return err;

  s->sslv2Hello = 0;
  uint8_t type;
  uint8_t major;
  uint32_t length;
  if (s->state == kQOXtlsState_Handshaking && (header[0] & 0x80) != 0 && header[2] == 1) {
    // An SSL 2.0 CLIENT-HELLO: a two-byte length (bit 7 set), message type
    // 1, the version; read on as a handshake record of its remaining bytes.
    const uint32_t v2Length = (static_cast<uint32_t>(header[0] & 0x7F) << 8) | header[1];
    if (v2Length < kSSL2HelloFixed) return FatalAlert(s, kQOXtlsAlert_DecodeError, kQOXErrTLSProtocolViolation);
    type = kQOXtlsContent_Handshake;
    major = header[3];
    length = v2Length - 3;
    s->sslv2Hello = 1;
    s->sslv2Major = header[3];
    s->sslv2Minor = header[4];
  } else {
    type = header[0];
    major = header[1];
    length = LoadBE16(header + 3);
  }
  if (type < kQOXtlsContent_ChangeCipherSpec || type > kQOXtlsContent_ApplicationData) {
    s->sslv2Hello = 0;
    return FatalAlert(s, kQOXtlsAlert_UnexpectedMessage, kQOXErrTLSProtocolViolation);
  }
  if (major != kQOXtlsMajorVersion) {
    s->sslv2Hello = 0;
    return FatalAlert(s, kQOXtlsAlert_ProtocolVersion, kQOXErrTLSVersionIncompatible);
  }
  if (length == 0 || length > kQOXtlsMaxRecordLength) {
    s->sslv2Hello = 0;
    return FatalAlert(s, kQOXtlsAlert_DecodeError, kQOXErrTLSProtocolViolation);
  }

  auto* body = static_cast<uint8_t*>(QOXNewData(s->memoryMgr, length, kQOXMemoryMgrFlags_None));
  if (body == nullptr) {
    s->sslv2Hello = 0;
    return kQOXErrOutOfMemory;
  }
  have = 0;
  err = Fill(s, body, length, &have, &isShort);
  if (isShort) {
    // The header and what came of the body wait for the next call.
    s->sslv2Hello = 0;
    QOXError kept = qoxTLSBufferRawData(s, header, sizeof header);
    if (kept == kQOXErrNoErr) kept = qoxTLSBufferRawData(s, body, have);
    QOXFreeData(body);
    return kept != kQOXErrNoErr ? kept : err;
  }
  uint32_t fragment = length;
  if (err == kQOXErrNoErr && s->readKeys != nullptr) err = Unprotect(s, type, body, length, &fragment);
  if (err != kQOXErrNoErr) {
    s->sslv2Hello = 0;
    QOXFreeData(body);
    return err;
  }
  *outType = type;
  *outBody = body;
  *outLength = fragment;
  return kQOXErrNoErr;
}

QOXError qoxConvertV2HelloToV3Hello(QOXtlsSession* s, const uint8_t* body, uint32_t length, uint8_t** outMessage,
                                    uint32_t* outLength) {
  *outMessage = nullptr;
  *outLength = 0;
  ostrak::ByteCursor in(body, length);
  uint16_t cipherListLength, sessionIDLength, challengeLength;
  if (!in.get_u16be(&cipherListLength) || !in.get_u16be(&sessionIDLength) || !in.get_u16be(&challengeLength))
    return kQOXErrBufferTooSmall;
  if (uint32_t{cipherListLength} + sessionIDLength + challengeLength + 6 != length) return kQOXErrBufferTooSmall;
  ostrak::ByteCursor cipherList, challenge;
  in.get_sub(cipherListLength, &cipherList);
  in.skip(sessionIDLength);
  in.get_sub(challengeLength, &challenge);

  ostrak::ByteBuilder hello;
  hello.append_u8(kQOXtlsClientHello);
  const size_t lengthAt = hello.reserve_prefix(3);
  hello.append_u8(s->sslv2Major);
  hello.append_u8(s->sslv2Minor);
  // The challenge, right-aligned behind zero bytes (its first 32 bytes when
  // longer).
  uint8_t random[32] = {};
  const size_t n = std::min<size_t>(challenge.remaining(), sizeof random);
  std::memcpy(random + sizeof random - n, challenge.data(), n);
  hello.append(random, sizeof random);
  hello.append_u8(0);  // empty session ID
  const size_t suitesAt = hello.reserve_prefix(2);
  const uint8_t* cipher;
  while (cipherList.get_view(3, &cipher)) {
    if (cipher[0] == 0) {
      hello.append_u8(cipher[1]);
      hello.append_u8(cipher[2]);
    } else if (cipher[1] == 0 && cipher[2] == 0x80) {
      switch (cipher[0]) {
        case 1: hello.append_u16be(0x0004); break;
        case 2: hello.append_u16be(0x0003); break;
        case 4: hello.append_u16be(0x0006); break;
        default: break;
      }
    }
  }
  hello.fix_be(suitesAt, 2);
  hello.append_u8(0);  // empty compression list
  hello.fix_be(lengthAt, 3);

  auto* message = static_cast<uint8_t*>(QOXNewData(s->memoryMgr, hello.size(), kQOXMemoryMgrFlags_None));
  if (message == nullptr) return kQOXErrOutOfMemory;
  std::memcpy(message, hello.data(), hello.size());
  *outMessage = message;
  *outLength = static_cast<uint32_t>(hello.size());
  return kQOXErrNoErr;
}

namespace {

void HashHandshake(QOXtlsSession* s, const uint8_t* bytes, size_t length) {
  if (length == 0) return;
  QOXContinueHash(s->handshakeMD5, bytes, length);
  QOXContinueHash(s->handshakeSHA, bytes, length);
}

}  // namespace

QOXError qoxTLSReceiveHandshakePacket(QOXtlsSession* s, uint8_t* outType, uint8_t** outBody, uint32_t* outLength) {
  *outType = 0;
  *outBody = nullptr;
  *outLength = 0;
  uint8_t* message = nullptr;
  uint32_t have = 0;
  uint8_t* v2Body = nullptr;  // the SSL 2.0 hello as received, for the hashes
  uint32_t v2Length = 0;
  uint8_t v2Version[2] = {};
  auto fail = [&](QOXError err) {
    if (message != nullptr) QOXFreeData(message);
    if (v2Body != nullptr) QOXFreeData(v2Body);
    s->sslv2Hello = 0;
    return err;
  };
  QOXError err = qoxTLSExtractHandData(s, &message, &have);
  if (err != kQOXErrNoErr) return fail(err);

  uint32_t bodyLength = 0;
  for (;;) {
    if (have >= kQOXtlsHandshakeHeaderSize) {
      bodyLength = LoadBE24(message + 1);
      if (bodyLength > kQOXtlsMaxHandshakeBody)
        return fail(FatalAlert(s, kQOXtlsAlert_DecodeError, kQOXErrTLSProtocolViolation));
      if (have - kQOXtlsHandshakeHeaderSize >= bodyLength) break;
    }
    uint8_t type = 0;
    uint8_t* record = nullptr;
    uint32_t length = 0;
    err = qoxTLSReceiveRecordLayer(s, &type, &record, &length);
    if (record == nullptr) {
      // Nothing whole yet (non-blocking), or a failure: what is held waits.
      if (err == kQOXErrNoErr || err == kQOXErrTLSWouldBlock) {
        QOXError kept = qoxTLSBufferHandData(s, message, have);
        if (kept != kQOXErrNoErr) err = kept;
      }
      return fail(err);
    }
    switch (type) {
      case kQOXtlsContent_Alert:
        err = qoxTLSProcessAlert(s, record, length);
        QOXFreeData(record);
        if (err != kQOXErrNoErr) return fail(err);
        if (s->state == kQOXtlsState_Closed) return fail(kQOXErrTLSUnexpectedClose);
        continue;
      case kQOXtlsContent_ChangeCipherSpec: {
        qoxTLSNextState(s, kQOXtlsEvent_ChangeCipherSpec);
        const QOXtlsKeyRecord* pending = s->clientSide ? s->pendingServerWriteKeys : s->pendingClientWriteKeys;
        const bool ok = length == 1 && record[0] == 1 && s->readKeys == nullptr &&
                        s->state != kQOXtlsState_Fatal && pending != nullptr && have == 0;
        QOXFreeData(record);
        if (!ok) return fail(FatalAlert(s, kQOXtlsAlert_UnexpectedMessage, kQOXErrTLSProtocolViolation));
        if ((err = qoxTLSActivateReadKeys(s)) != kQOXErrNoErr) return fail(err);
        continue;
      }
      case kQOXtlsContent_Handshake:
        if (s->sslv2Hello) {
          // An SSL 2.0 hello opens the handshake: nothing may be held.
          if (have != 0) {
            QOXFreeData(record);
            return fail(FatalAlert(s, kQOXtlsAlert_UnexpectedMessage, kQOXErrTLSProtocolViolation));
          }
          v2Version[0] = s->sslv2Major;
          v2Version[1] = s->sslv2Minor;
          v2Body = record;
          v2Length = length;
          if (message != nullptr) QOXFreeData(message);
          message = nullptr;
          err = qoxConvertV2HelloToV3Hello(s, v2Body, v2Length, &message, &have);
          s->sslv2Hello = 0;
          if (err != kQOXErrNoErr) return fail(err);
          continue;
        }
        {
          QOXtlsBuffer gathered{message, have};
          err = qoxTLSBufferAppend(s, &gathered, record, length);
          QOXFreeData(record);
          message = gathered.data;
          have = gathered.length;
          if (err != kQOXErrNoErr) return fail(err);
        }
        continue;
      default:
        QOXFreeData(record);
        return fail(FatalAlert(s, kQOXtlsAlert_UnexpectedMessage, kQOXErrTLSProtocolViolation));
    }
  }

  // One whole message; what follows it waits for the next call.
  const uint32_t total = static_cast<uint32_t>(kQOXtlsHandshakeHeaderSize) + bodyLength;
  if ((err = qoxTLSBufferHandData(s, message + total, have - total)) != kQOXErrNoErr) return fail(err);
  const uint8_t messageType = message[0];
  if (messageType != kQOXtlsHello_Request && s->handshakeMD5 != nullptr && s->handshakeSHA != nullptr) {
    if (messageType == kQOXtlsFinished || messageType == kQOXtlsCertificateVerify) {
      if (s->snapshotMD5 != nullptr || s->snapshotSHA != nullptr)
        return fail(FatalAlert(s, kQOXtlsAlert_UnexpectedMessage, kQOXErrTLSProtocolViolation));
      s->snapshotSHA = qoxHashCopy(s->handshakeSHA);
      s->snapshotMD5 = qoxHashCopy(s->handshakeMD5);
      if (s->snapshotSHA == nullptr || s->snapshotMD5 == nullptr) {
        qoxTLSFreeSnapshots(s);
        return fail(kQOXErrOutOfMemory);
      }
    }
    if (v2Body != nullptr) {
      const uint8_t v2Header[3] = {kQOXtlsClientHello, v2Version[0], v2Version[1]};
      HashHandshake(s, v2Header, sizeof v2Header);
      HashHandshake(s, v2Body, v2Length);
    } else {
      HashHandshake(s, message, total);
    }
  }
  if (v2Body != nullptr) QOXFreeData(v2Body);
  std::memmove(message, message + kQOXtlsHandshakeHeaderSize, bodyLength);
  s->sslv2Hello = 0;
  *outType = messageType;
  *outBody = message;
  *outLength = bodyLength;
  return kQOXErrNoErr;
}
