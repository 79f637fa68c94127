#include "keydb/packet_header.h"

#include <cstdio>

#include "foundation/byte_order.h"
#include "foundation/file.h"
#include "foundation/sdk_errors.h"

namespace {

constexpr uint8_t kHeaderBit = 0x80;
constexpr uint8_t kNewFormBit = 0x40;
constexpr uint8_t kOldLengthTypeMask = 0x03;
constexpr uint8_t kOldLengthIndeterminate = 3;

// First length bytes of the new form.
constexpr uint8_t kNewTwoByteFirst = 192;
constexpr uint8_t kNewPartialFirst = 224;
constexpr uint8_t kNewFourByte = 255;
constexpr uint32_t kNewOneByteMax = 191;
constexpr uint32_t kNewTwoByteMax = 8383;

constexpr size_t kOldLengthWidth[] = {1, 2, 4, 0};

// After a read came back short: true when the file failed, false when it
// only reached its end (a memory file notes its end as an error, which is
// cleared here).
bool ReadFailed(QOXFile* file) {
  const QOXFileError* e = file->error(file);
  if (e == nullptr) return false;
  if (e->error == kQOXErrEOF) {
    file->clearError(file);
    return false;
  }
  return true;
}

// Reads exactly n bytes of a length field: 0, kQOXErrEOF when the file ends
// inside, kQOXErrReadFailed (with the file's error cleared) when the read fails.
QOXError ReadLengthBytes(QOXFile* file, uint8_t* out, size_t n) {
  if (file->read(out, n, file) == n) return kQOXErrNoErr;
  if (ReadFailed(file)) {
    file->clearError(file);
    return kQOXErrReadFailed;
  }
  return kQOXErrEOF;
}

// One new-form length: its value and whether it starts a partial chunk.
QOXError ReadNewLength(QOXFile* file, uint64_t* length, bool* partial) {
  uint8_t b[4];
  *partial = false;
  if (QOXError err = ReadLengthBytes(file, b, 1); err != kQOXErrNoErr) return err;
  const uint8_t c = b[0];
  if (c < kNewTwoByteFirst) {
    *length = c;
  } else if (c < kNewPartialFirst) {
    if (QOXError err = ReadLengthBytes(file, b + 1, 1); err != kQOXErrNoErr) return err;
    *length = ((uint64_t{c} - kNewTwoByteFirst) << 8) + b[1] + kNewTwoByteFirst;
  } else if (c < kNewFourByte) {
    *length = uint64_t{1} << (c & 0x1F);
    *partial = true;
  } else {
    if (QOXError err = ReadLengthBytes(file, b, 4); err != kQOXErrNoErr) return err;
    *length = LoadBE32(b);
  }
  return kQOXErrNoErr;
}

size_t ReadUpTo(QOXFile* file, uint8_t* buffer, uint64_t n) {
  size_t done = 0;
  while (done < n) {
    const size_t got = file->read(buffer + done, static_cast<size_t>(n - done), file);
    if (got == 0) break;
    done += got;
  }
  return done;
}

// The old-form length type after widening for the length.
uint8_t WidenedLengthType(uint8_t typeByte, uint32_t length) {
  uint8_t lengthType = typeByte & kOldLengthTypeMask;
  if (lengthType == kOldLengthIndeterminate) return lengthType;
  if (length > 0xFFFF) return 2;
  if (length > 0xFF && lengthType == 0) return 1;
  return lengthType;
}

}  // namespace

bool qoxPktIsNewForm(uint8_t typeByte) { return (typeByte & kNewFormBit) != 0; }

uint8_t qoxPktTag(uint8_t typeByte) {
  return qoxPktIsNewForm(typeByte) ? typeByte & 0x3F : (typeByte >> 2) & 0x0F;
}

// --- Stream side ---

QOXError pktLengthNew(QOXFile* file, uint64_t* totalLength, uint64_t* firstChunkLength) {
  uint64_t length = 0;
  bool partial = false;
  if (QOXError err = ReadNewLength(file, &length, &partial); err != kQOXErrNoErr) return err;
  *firstChunkLength = length;
  *totalLength = length;
  if (!partial) return kQOXErrNoErr;

  const QOXFileOffset firstData = file->tell(file);
  if (firstData < 0) return kQOXErrFileOpError;
  uint64_t sum = length;
  QOXError err = kQOXErrNoErr;
  while (partial) {
    err = file->seek(file, static_cast<QOXFileOffset>(length), SEEK_CUR);
    if (err == kQOXErrNoErr) err = ReadNewLength(file, &length, &partial);
    if (err != kQOXErrNoErr) break;
    sum += length;
  }
  const QOXError back = file->seek(file, firstData, SEEK_SET);
  if (err != kQOXErrNoErr) return err;
  if (back != kQOXErrNoErr) return back;
  *totalLength = sum;
  return kQOXErrNoErr;
}

int qoxPktByteGet(QOXFile* file, uint64_t* totalLength, uint64_t* firstChunkLength, QOXFileOffset* position) {
  *totalLength = 0;
  *firstChunkLength = 0;
  if (position != nullptr) {
    const QOXFileOffset at = file->tell(file);
    if (at < 0) return kQOXErrFileOpError;
    *position = at;
  }
  uint8_t typeByte = 0;
  if (file->read(&typeByte, 1, file) != 1) return ReadFailed(file) ? kQOXErrReadFailed : 0;
  if ((typeByte & kHeaderBit) == 0) return kQOXErrBadPacket;
  if (qoxPktIsNewForm(typeByte)) {
    if (QOXError err = pktLengthNew(file, totalLength, firstChunkLength); err != kQOXErrNoErr) return err;
    return typeByte;
  }
  const uint8_t lengthType = typeByte & kOldLengthTypeMask;
  if (lengthType == kOldLengthIndeterminate) return kQOXErrBadPacket;
  uint8_t b[4];
  const size_t width = kOldLengthWidth[lengthType];
  if (QOXError err = ReadLengthBytes(file, b, width); err != kQOXErrNoErr) return err;
  uint64_t length = 0;
  for (size_t i = 0; i < width; ++i) length = (length << 8) | b[i];
  *totalLength = length;
  *firstChunkLength = length;
  return typeByte;
}

uint64_t qoxPktBodyRead(uint8_t* buffer, uint64_t totalLength, uint64_t firstChunkLength, QOXFile* file) {
  if (totalLength == firstChunkLength) return ReadUpTo(file, buffer, totalLength);
  uint64_t got = 0;
  uint64_t chunk = firstChunkLength;
  bool partial = true;
  for (;;) {
    // A chunk that would run past the measured total, or a final chunk that
    // does not end exactly there, means the stream is damaged.
    if (chunk > totalLength - got || (!partial && chunk != totalLength - got)) return got;
    const uint64_t n = ReadUpTo(file, buffer + got, chunk);
    got += n;
    if (n < chunk || !partial) return got;
    if (ReadNewLength(file, &chunk, &partial) != kQOXErrNoErr) return got;
  }
}

QOXError qoxPktBodySkip(QOXFile* file, uint64_t totalLength, uint64_t firstChunkLength) {
  if (totalLength == firstChunkLength) return file->seek(file, static_cast<QOXFileOffset>(totalLength), SEEK_CUR);
  uint64_t skipped = 0;
  uint64_t chunk = firstChunkLength;
  bool partial = true;
  for (;;) {
    if (chunk > totalLength - skipped || (!partial && chunk != totalLength - skipped)) return kQOXErrBadPacket;
    if (QOXError err = file->seek(file, static_cast<QOXFileOffset>(chunk), SEEK_CUR); err != kQOXErrNoErr)
      return err;
    skipped += chunk;
    if (!partial) return kQOXErrNoErr;
    if (ReadNewLength(file, &chunk, &partial) != kQOXErrNoErr) return kQOXErrBadPacket;
  }
}

// --- Buffer side ---

uint8_t qoxPktHeaderPut(uint8_t* buffer, uint8_t typeByte, uint32_t length) {
  if (qoxPktIsNewForm(typeByte)) {
    buffer[0] = typeByte;
    if (length <= kNewOneByteMax) {
      buffer[1] = static_cast<uint8_t>(length);
    } else if (length <= kNewTwoByteMax) {
      const uint32_t v = length - kNewTwoByteFirst;
      buffer[1] = static_cast<uint8_t>((v >> 8) + kNewTwoByteFirst);
      buffer[2] = static_cast<uint8_t>(v);
    } else {
      buffer[1] = kNewFourByte;
      StoreBE32(buffer + 2, length);
    }
    return typeByte;
  }
  const uint8_t lengthType = WidenedLengthType(typeByte, length);
  const uint8_t written = static_cast<uint8_t>((typeByte & ~kOldLengthTypeMask) | lengthType);
  buffer[0] = written;
  switch (lengthType) {
    case 0:
      buffer[1] = static_cast<uint8_t>(length);
      break;
    case 1:
      StoreBE16(buffer + 1, static_cast<uint16_t>(length));
      break;
    case 2:
      StoreBE32(buffer + 1, length);
      break;
    default:
      break;
  }
  return written;
}

size_t qoxPktHeaderLen(uint8_t typeByte, uint32_t length) {
  if (qoxPktIsNewForm(typeByte)) return length <= kNewOneByteMax ? 2 : (length <= kNewTwoByteMax ? 3 : 6);
  return 1 + kOldLengthWidth[WidenedLengthType(typeByte, length)];
}

size_t qoxPktBufferHeaderLen(const uint8_t* buffer, size_t length) {
  if (buffer == nullptr || length < 1 || (buffer[0] & kHeaderBit) == 0) return 0;
  size_t header;
  if (!qoxPktIsNewForm(buffer[0])) {
    header = 1 + kOldLengthWidth[buffer[0] & kOldLengthTypeMask];
  } else {
    if (length < 2) return 0;
    header = buffer[1] < kNewTwoByteFirst ? 2 : (buffer[1] < kNewFourByte ? 3 : 6);
  }
  return header <= length ? header : 0;
}

bool qoxPktBody(const uint8_t* packet, size_t length, ostrak::ByteCursor* outBody) {
  const size_t header = qoxPktBufferHeaderLen(packet, length);
  if (header == 0) {
    *outBody = ostrak::ByteCursor();
    return false;
  }
  *outBody = ostrak::ByteCursor(packet + header, length - header);
  return true;
}
