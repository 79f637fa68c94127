#include "keydb/trust_packet.h"

#include "keydb/key_db_obj.h"

namespace {

constexpr uint8_t kKeyRevocation = 0x20;

size_t Put(uint8_t* out, const uint8_t* data, uint8_t length) {
  out[0] = kQOXTrustPacketTypeByte;
  out[1] = length;
  for (uint8_t i = 0; i < length; ++i) out[2 + i] = data[i];
  return 2u + length;
}

}  // namespace

size_t qoxMakeTrustPacket(QOXKeyDBObj* object, uint8_t* out) {
  switch (qoxObjectType(object)) {
    case kQOXKeyDBObjType_Key:
    case kQOXKeyDBObjType_SubKey: {
      const KeyInfo* k = qoxKeyToKeyInfo(object);
      return k != nullptr ? Put(out, &k->keyTrust, 1) : 0;
    }
    case kQOXKeyDBObjType_UserID: {
      const UserIDInfo* u = qoxUserIDToUserIDInfo(object);
      if (u == nullptr) return 0;
      const uint8_t data[3] = {u->trustByte, u->validity, u->confidence};
      return Put(out, data, 3);
    }
    case kQOXKeyDBObjType_Sig: {
      const SigInfo* s = qoxSigToSigInfo(object);
      if (s == nullptr) return 0;
      QOXKeyDBObj* parent = qoxObjParent(object);
      const bool onKey = qoxObjectType(parent) == kQOXKeyDBObjType_Key ||
                         qoxObjectType(parent) == kQOXKeyDBObjType_SubKey;
      if (s->type == kKeyRevocation && onKey && s->signer == parent) return 0;
      return Put(out, &s->trustByte, 1);
    }
    case kQOXKeyDBObjType_CRL: {
      const CRLInfo* c = qoxCRLToCRLInfo(object);
      return c != nullptr ? Put(out, &c->trustByte, 1) : 0;
    }
    case kQOXKeyDBObjType_Unknown: {
      const UnkInfo* u = qoxUnkToUnkInfo(object);
      return u != nullptr ? Put(out, &u->trustByte, 1) : 0;
    }
    default:
      return 0;
  }
}
