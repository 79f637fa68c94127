// Proxy streams, which forward to a target stream, and the line-end stream,
// a write-only proxy that turns every CR, LF or CR LF into one chosen line end.
#include <cstring>

#include "foundation/io.h"

namespace {

struct QOXProxyIO {
  QOXIO base;
  uint32_t subMagic;  // "PROX" (shared with the memory class)
  bool ownsTarget;
  QOXIO* target;
};

constexpr size_t kLineEndBufferSize = 4096;

struct QOXLineEndIO {
  QOXProxyIO proxy;
  uint32_t thirdMagic;  // "FLIO"
  int kind;
  uint8_t buffer[kLineEndBufferSize];
  uint8_t* bufferPtr;
  size_t bufferSize;
  size_t buffered;
  bool lastWasCR;  // the last byte of the previous write was CR
};

struct ProxyInit {
  QOXIO* target;
  bool ownsTarget;
  int kind;  // line-end streams only
};

QOXProxyIO* AsProxy(QOXIO* io) { return reinterpret_cast<QOXProxyIO*>(io); }
QOXLineEndIO* AsLineEnd(QOXIO* io) { return reinterpret_cast<QOXLineEndIO*>(io); }

QOXError ProxyInitProc(QOXIO* io, void* initData) {
  QOXError err = qoxioInheritInit(io, qoxIOGetClassVTBL(), initData);
  if (err != kQOXErrNoErr) return err;
  auto* init = static_cast<ProxyInit*>(initData);
  auto* p = AsProxy(io);
  p->subMagic = kQOXIOProxyMagic;
  p->ownsTarget = init->ownsTarget;
  p->target = init->target;
  return kQOXErrNoErr;
}

QOXError ProxyDestroy(QOXIO* io) {
  auto* p = AsProxy(io);
  QOXError err = kQOXErrNoErr;
  if (p->ownsTarget && p->target != nullptr) err = QOXFreeIO(p->target);
  p->target = nullptr;
  p->subMagic = ~p->subMagic;
  QOXError parent = qoxioInheritDestroy(io, qoxIOGetClassVTBL());
  return err != kQOXErrNoErr ? err : parent;
}

QOXError ProxyRead(QOXIO* io, size_t count, void* buffer, size_t* outRead) {
  return QOXIORead(AsProxy(io)->target, count, buffer, outRead);
}
QOXError ProxyWrite(QOXIO* io, size_t count, const void* buffer) {
  return QOXIOWrite(AsProxy(io)->target, count, buffer);
}
QOXError ProxySetPos(QOXIO* io, QOXFileOffset pos) { return QOXIOSetPos(AsProxy(io)->target, pos); }
QOXError ProxyGetEOF(QOXIO* io, QOXFileOffset* outEOF) {
  return QOXIOGetEOF(AsProxy(io)->target, outEOF);
}
QOXError ProxyFlush(QOXIO* io) { return QOXIOFlush(AsProxy(io)->target); }

const QOXIOVTBL* ProxyVTBL() {
  static const QOXIOVTBL table = [] {
    QOXIOVTBL t = *qoxIOGetClassVTBL();
    t.init = ProxyInitProc;
    t.destroy = ProxyDestroy;
    t.read = ProxyRead;
    t.write = ProxyWrite;
    t.setPos = ProxySetPos;
    t.getEOF = ProxyGetEOF;
    t.flush = ProxyFlush;
    return t;
  }();
  return &table;
}

QOXError LineEndInit(QOXIO* io, void* initData) {
  QOXError err = qoxioInheritInit(io, ProxyVTBL(), initData);
  if (err != kQOXErrNoErr) return err;
  auto* l = AsLineEnd(io);
  l->thirdMagic = kQOXIOFileMagic;
  l->kind = static_cast<ProxyInit*>(initData)->kind;
  l->bufferPtr = l->buffer;
  l->bufferSize = kLineEndBufferSize;
  l->buffered = 0;
  l->lastWasCR = false;
  return kQOXErrNoErr;
}

QOXError DrainBuffer(QOXLineEndIO* l) {
  if (l->buffered == 0) return kQOXErrNoErr;
  QOXError err = QOXIOWrite(l->proxy.target, l->buffered, l->bufferPtr);
  l->buffered = 0;
  return err;
}

QOXError LineEndFlush(QOXIO* io) {
  auto* l = AsLineEnd(io);
  QOXError err = DrainBuffer(l);
  if (err != kQOXErrNoErr) return err;
  return QOXIOFlush(l->proxy.target);
}

QOXError LineEndDestroy(QOXIO* io) {
  auto* l = AsLineEnd(io);
  QOXError flushErr = l->proxy.target != nullptr ? LineEndFlush(io) : kQOXErrNoErr;
  l->thirdMagic = ~l->thirdMagic;
  QOXError err = qoxioInheritDestroy(io, ProxyVTBL());
  return flushErr != kQOXErrNoErr ? flushErr : err;
}

QOXError LineEndWrite(QOXIO* io, size_t count, const void* data) {
  auto* l = AsLineEnd(io);
  const auto* bytes = static_cast<const uint8_t*>(data);
  QOXFileOffset delta = 0;  // output bytes minus input bytes
  QOXError err = kQOXErrNoErr;
  auto put = [&](uint8_t b) {
    if (err != kQOXErrNoErr) return;
    l->bufferPtr[l->buffered++] = b;
    if (l->buffered == l->bufferSize) err = DrainBuffer(l);
  };
  auto lineEnd = [&] {
    if (l->kind == kQOXLineEnd_CR) {
      put('\r');
    } else if (l->kind == kQOXLineEnd_CRLF) {
      put('\r');
      put('\n');
      ++delta;
    } else {
      put('\n');
    }
  };
  size_t i = 0;
  if (l->lastWasCR && count > 0 && bytes[0] == '\n') {
    // The CR that ended the previous write already became a line end.
    i = 1;
    --delta;
  }
  for (; i < count && err == kQOXErrNoErr; ++i) {
    uint8_t c = bytes[i];
    if (c == '\r') {
      if (i + 1 < count && bytes[i + 1] == '\n') {
        ++i;
        --delta;
      }
      lineEnd();
    } else if (c == '\n') {
      lineEnd();
    } else {
      put(c);
    }
  }
  l->lastWasCR = count > 0 && bytes[count - 1] == '\r';
  if (err != kQOXErrNoErr) return err;
  io->position += delta;
  return kQOXErrNoErr;
}

QOXError LineEndRead(QOXIO*, size_t count, void* buffer, size_t* outRead) {
  std::memset(buffer, 0, count);
  *outRead = 0;
  return kQOXErrIllegalFileOp;
}

QOXError LineEndGetPos(QOXIO* io, QOXFileOffset* outPos) {
  return QOXIOGetPos(AsLineEnd(io)->proxy.target, outPos);
}

QOXError LineEndSetPos(QOXIO* io, QOXFileOffset pos) {
  if (pos < 0) return kQOXErrBadParams;
  auto* l = AsLineEnd(io);
  l->lastWasCR = false;
  return QOXIOSetPos(l->proxy.target, pos);
}

const QOXIOVTBL* LineEndVTBL() {
  static const QOXIOVTBL table = [] {
    QOXIOVTBL t = *ProxyVTBL();
    t.init = LineEndInit;
    t.destroy = LineEndDestroy;
    t.read = LineEndRead;
    t.write = LineEndWrite;
    t.getPos = LineEndGetPos;
    t.setPos = LineEndSetPos;
    t.flush = LineEndFlush;
    return t;
  }();
  return &table;
}

}  // namespace

const QOXIOVTBL* qoxProxyIOGetClassVTBL() { return ProxyVTBL(); }
const QOXIOVTBL* qoxLineEndIOGetClassVTBL() { return LineEndVTBL(); }

QOXError QOXNewProxyIO(QOXIO* target, bool ownsTarget, QOXIO** outIO) {
  if (outIO == nullptr) return kQOXErrBadParams;
  *outIO = nullptr;
  if (!QOXIOIsValid(target)) return kQOXErrBadParams;
  ProxyInit init{target, ownsTarget, 0};
  return qoxNewIOFromVTBL(target->memoryMgr, ProxyVTBL(), sizeof(QOXProxyIO), &init, outIO);
}

bool QOXProxyIOIsValid(const QOXIO* io) {
  return QOXIOIsValid(io) && reinterpret_cast<const QOXProxyIO*>(io)->subMagic == kQOXIOProxyMagic;
}

QOXError QOXNewLineEndIO(QOXIO* target, bool ownsTarget, int lineEndKind, QOXIO** outIO) {
  if (outIO == nullptr) return kQOXErrBadParams;
  *outIO = nullptr;
  if (!QOXIOIsValid(target)) return kQOXErrBadParams;
  ProxyInit init{target, ownsTarget, lineEndKind};
  return qoxNewIOFromVTBL(target->memoryMgr, LineEndVTBL(), sizeof(QOXLineEndIO), &init, outIO);
}

bool QOXLineEndIOIsValid(const QOXIO* io) {
  // Objects of other classes may be shorter than the line-end record, so its
  // third magic is read only from an object of that class.
  return QOXIOIsValid(io) && io->vtbl == LineEndVTBL() &&
         reinterpret_cast<const QOXLineEndIO*>(io)->thirdMagic == kQOXIOFileMagic;
}
