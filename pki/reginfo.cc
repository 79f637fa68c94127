// Enrollment registration information (pki/reginfo.h).
#include "pki/reginfo.h"

#include <cstring>

#include "pki/asn_engine.h"
#include "pki/pkcs7_message_support.h"
#include "pki/pkcsreq_asn.h"

const VriFieldRow VriPersonal[] = {
    {"corp_company", 0x1}, {"org_unit", 0x1},          {"cert_type", 0x3},         {"common_name", 0x1},
    {"embed_email", 0x4},  {"mail_email", 0x11},       {"jobTitle", 0},            {"employeeID", 0},
    {"mailStop", 0},       {"additional_field4", 0},   {"additional_field5", 0},   {"additional_field6", 0},
    {"challenge", 0xA0},   {"authenticate", 0x140},    {nullptr, 0},
};
const VriFieldRow VriIPSEC[] = {
    {"corp_company", 0x1}, {"org_unit", 0x1},    {"cert_type", 0x201}, {"common_name", 0},   {"embed_email", 0},
    {"mail_email", 0x11},  {"challenge", 0xA0}, {"authenticate", 0x140}, {nullptr, 0},
};
const VriFieldRow VriSecureServer[] = {
    {"corp_company", 0x1}, {"org_unit", 0x1}, {"cert_type", 0x401}, {"challenge", 0xA0}, {"authenticate", 0x140},
    {nullptr, 0},
};
const VriFieldRow VriRA[] = {
    {"cert_type", 0x401}, {"tech_firstName", 0x1}, {"tech_lastName", 0x1}, {"tech_email", 0x11},
    {"challenge", 0xA0},  {nullptr, 0},
};

const char vri_Hex[17] = "0123456789ABCDEF";

namespace {

using ostrak::asn::Allocate;
using ostrak::asn::Deallocate;
using ostrak::asn::ManagerOf;

constexpr uint32_t kLimitedLength = 32;

bool IsAlphanumeric(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool NeedsEscape(uint8_t c) { return c == '&' || c == '+' || c == '=' || c == '%' || c == 0; }

// A value matches a keyword when its bytes equal the keyword's first bytes.
bool Matches(const VriField& f, const char* keyword) {
  size_t n = std::strlen(keyword);
  return f.valueLength <= n && (f.valueLength == 0 || std::memcmp(f.value, keyword, f.valueLength) == 0);
}

const VriFieldRow* TableOf(int certType) {
  switch (certType) {
    case 0: return VriPersonal;
    case 1: return VriIPSEC;
    case 2: return VriSecureServer;
    case 3: return VriRA;
    default: return nullptr;
  }
}

const VriField* FieldNamed(const VriField* fields, const char* name) {
  for (const VriField* f = fields; f != nullptr && f->name != nullptr; ++f)
    if (std::strcmp(f->name, name) == 0) return f;
  return nullptr;
}

const VriFieldRow* RowNamed(const VriFieldRow* table, const char* name) {
  for (const VriFieldRow* r = table; r->name != nullptr; ++r)
    if (std::strcmp(r->name, name) == 0) return r;
  return nullptr;
}

// The checks of one field against its row: 0 or a kVriErr code.
int CheckValue(const VriField& f, uint32_t flags) {
  if ((flags & kVriEndUser) && !Matches(f, "end-user")) return kVriErrFixedValue;
  if ((flags & kVriIpsec) && !Matches(f, "ipsec")) return kVriErrFixedValue;
  if ((flags & kVriServer) && !Matches(f, "server")) return kVriErrFixedValue;
  if ((flags & kVriYesNo) && !Matches(f, "yes") && !Matches(f, "no")) return kVriErrYesNo;
  if ((flags & kVriMax32) && f.valueLength > kLimitedLength) return kVriErrLength;
  if ((flags & kVriYesNoPending) && !Matches(f, "yes") && !Matches(f, "no") && !Matches(f, "pending"))
    return kVriErrYesNoPending;
  if (f.value == nullptr && f.valueLength != 0) return kVriErrCharacter;
  bool email = (flags & kVriEmailChars) != 0;
  for (uint32_t i = 0; i < f.valueLength; ++i)
    if (!(email ? vri_ValidEmailChar(f.value[i]) : vri_ValidTextChar(f.value[i]))) return kVriErrCharacter;
  return 0;
}

// Appends "[&]name=value" to the text at *out (of *length characters),
// growing it through the manager to hold the pieces and the terminator.
bool Append(PKICONTEXT* ctx, char** out, size_t* length, const char* name, const char* value) {
  size_t nameLength = std::strlen(name), valueLength = std::strlen(value);
  size_t separator = *length != 0 ? 1 : 0;
  size_t grown = *length + separator + nameLength + 1 + valueLength;
  void* block = *out;
  if (!ostrak::asn::Reallocate(ctx, &block, grown + 1)) return false;
  char* text = static_cast<char*>(block);
  char* at = text + *length;
  if (separator) *at++ = '&';
  std::memcpy(at, name, nameLength);
  at += nameLength;
  *at++ = '=';
  std::memcpy(at, value, valueLength);
  text[grown] = '\0';
  *out = text;
  *length = grown;
  return true;
}

}  // namespace

bool vri_ValidTextChar(uint8_t c) {
  return c == 0 || IsAlphanumeric(c) || std::memchr(" '()+,-./:=?", c, 12) != nullptr;
}

bool vri_ValidEmailChar(uint8_t c) {
  return c == 0 || IsAlphanumeric(c) || std::memchr("@:_+-[]\".", c, 9) != nullptr;
}

int vri_UrlEncode(PKICONTEXT* ctx, const uint8_t* bytes, uint32_t length, char** out) {
  if (out == nullptr) return kVriErrMemory;
  *out = nullptr;
  if (ManagerOf(ctx) == nullptr || (bytes == nullptr && length != 0)) return kVriErrMemory;
  size_t size = 1;
  for (uint32_t i = 0; i < length; ++i) size += NeedsEscape(bytes[i]) ? 3 : 1;
  auto* text = static_cast<char*>(Allocate(ctx, size));
  if (text == nullptr) return kVriErrMemory;
  char* at = text;
  for (uint32_t i = 0; i < length; ++i) {
    uint8_t c = bytes[i];
    if (NeedsEscape(c)) {
      *at++ = '%';
      *at++ = vri_Hex[c >> 4];
      *at++ = vri_Hex[c & 0xF];
    } else {
      *at++ = c == ' ' ? '+' : static_cast<char>(c);
    }
  }
  *at = '\0';
  *out = text;
  return 0;
}

int vri_GenerateRegInfo(PKICONTEXT* ctx, int mode, int certType, const VriField* fields, char** out) {
  if (out == nullptr) return kVriErrMemory;
  *out = nullptr;
  const VriFieldRow* table = TableOf(certType);
  if (table == nullptr) return kVriErrCertType;
  if (ManagerOf(ctx) == nullptr) return kVriErrMemory;
  for (const VriFieldRow* r = table; r->name != nullptr; ++r) {
    bool required = (r->flags & kVriRequired) || (mode == 0 && (r->flags & kVriRequiredMode0)) ||
                    (mode == 1 && (r->flags & kVriRequiredMode1));
    if (required && FieldNamed(fields, r->name) == nullptr) return kVriErrMissing;
  }
  size_t length = 0;
  for (const VriField* f = fields; f != nullptr && f->name != nullptr; ++f) {
    const VriFieldRow* row = RowNamed(table, f->name);
    if (row == nullptr) return kVriErrUnknownField;
    if (int e = CheckValue(*f, row->flags)) return e;
    char* encoded = nullptr;
    bool ok = vri_UrlEncode(ctx, f->value, f->valueLength, &encoded) == 0 &&
              Append(ctx, out, &length, f->name, encoded);
    Deallocate(ctx, encoded);
    if (!ok) {
      Deallocate(ctx, *out);
      *out = nullptr;
      return kVriErrMemory;
    }
  }
  return 0;
}

int vri_GeneratePKCSReq(PKICONTEXT* ctx, const uint8_t* request, uint32_t requestLength, const char* regInfo,
                        uint8_t** out, uint32_t* outLength) {
  constexpr int kErr = -9;
  if (out == nullptr || outLength == nullptr) return kErr;
  *out = nullptr;
  *outLength = 0;
  ostrak::sm::Owned<PKIPKCSReq> req(ostrak::pkcsreq_asn::kPKCSReq, ctx);
  if (ManagerOf(ctx) == nullptr || !req.Make() ||
      PKIPutOctVal(ctx, &req->request, request, requestLength) != kPKIErrNone)
    return kErr;
  if (regInfo != nullptr) {
    req->regInfo = PKINewVariableBlock(ctx);
    if (req->regInfo == nullptr || PKIPutStrVal(ctx, req->regInfo, regInfo) != kPKIErrNone) return kErr;
  }
  ostrak::sm::Buffer der(ctx);
  if (ostrak::sm::Encode(ostrak::pkcsreq_asn::kPKCSReq, ctx, req.get(), kPKITagSequence, &der) != kPKIErrNone)
    return kErr;
  *outLength = der.length();
  *out = der.release();
  return 0;
}
