// The fuzz steps of the certificate toolkit, shared by the libFuzzer
// targets (tc_dn_fuzz.cc, tc_cert_fuzz.cc, tc_crl_fuzz.cc) and the
// random-mutation test run under the sanitizers. Beyond not crashing, each
// holds the toolkit to its contract and traps when one breaks:
// - DN text: a failed parse leaves the name as it was; a name written as
//   text and parsed again is written back to the same text (a fixed point
//   once parsed); a failed conversion leaves no text.
// - Certificates: tc_unpack_cert gives a certificate or nothing; every row
//   of the extension table read with tc_getextval gives a value or an error
//   with a null output; every name met (subject, issuer, and the
//   directoryNames inside the values read) is written back as text or
//   refused with -10 and no text.
// - CRLs: tc_import_crl keeps the CRL or frees it; the held CRL answers the
//   revocation check and tc_getextval for every row on its extensions and
//   its entries' extensions.
// Nothing may stay allocated: each step runs in a context of its own over a
// counting memory manager and traps when a block is left.
#ifndef OSTRAK_TESTS_PKI_FUZZ_TC_FUZZ_BODIES_H_
#define OSTRAK_TESTS_PKI_FUZZ_TC_FUZZ_BODIES_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pki/tc_cert.h"
#include "pki/tc_compare.h"
#include "pki/tc_context.h"
#include "pki/tc_crl.h"
#include "pki/tc_dname.h"
#include "pki/tc_extensions.h"

namespace tc_fuzz {

inline void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// A memory manager over the C heap that counts its blocks.
struct Counting {
  PKIMemoryMgr mgr;
  long live = 0;
  Counting() {
    mgr.customValue = reinterpret_cast<uintptr_t>(this);
    mgr.allocate = [](PKIMemoryMgr* m, size_t n) -> void* {
      void* p = std::malloc(n == 0 ? 1 : n);
      if (p != nullptr) ++reinterpret_cast<Counting*>(m->customValue)->live;
      return p;
    };
    mgr.reallocate = [](PKIMemoryMgr* m, void** block, size_t n) -> int32_t {
      if (*block == nullptr) {
        *block = m->allocate(m, n);
        return *block != nullptr ? 0 : -17;
      }
      void* moved = std::realloc(*block, n == 0 ? 1 : n);
      if (moved == nullptr) return -17;
      *block = moved;
      return 0;
    };
    mgr.deallocate = [](PKIMemoryMgr* m, void* block) -> int32_t {
      if (block != nullptr) {
        --reinterpret_cast<Counting*>(m->customValue)->live;
        std::free(block);
      }
      return 0;
    };
  }
};

// A context over a counting manager, checked to be empty when it goes.
class Context {
 public:
  explicit Context(TC_SignCallback sign = nullptr, TC_VerifyCallback verify = nullptr) {
    Check(tc_init_context(&ctx_, &counting_.mgr, sign, nullptr, verify, nullptr) == kTCErrNone);
  }
  ~Context() {
    Check(tc_free_context(ctx_) == kTCErrNone);
    Check(counting_.live == 0);
  }
  TC_CONTEXT* get() const { return ctx_; }

 private:
  Counting counting_;
  TC_CONTEXT* ctx_ = nullptr;
};

// The text of a name, or "" after a refusal (which must be -10 with no text).
inline std::string TextOf(PKIName* name, TC_CONTEXT* ctx) {
  char* text = reinterpret_cast<char*>(1);
  int32_t e = tc_extract_dname_string(&text, name, ctx);
  if (e != kTCErrNone) {
    Check(e == kTCErrNameParse && text == nullptr);
    return "";
  }
  Check(text != nullptr);
  std::string s(text);
  ctx->memMgr->deallocate(ctx->memMgr, text);
  return s;
}

// The DN text parser: the input as text (up to a NUL).
inline void RunDNString(const uint8_t* data, size_t size) {
  Context c;
  TC_CONTEXT* ctx = c.get();
  const std::string input(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  PKIName* name = nullptr;
  Check(tc_create_dname(&name, ctx) == kTCErrNone);
  int32_t e = tc_make_dname_fromstring(name, input.c_str(), ctx);
  auto* seq = static_cast<PKIRDNSequence*>(name->value);
  if (e != kTCErrNone) {
    Check(seq->count == 0 && seq->elements == nullptr);
  } else {
    Check(input.find('=') != std::string::npos || seq->count == 0);
    const std::string text = TextOf(name, ctx);
    PKIName* again = nullptr;
    Check(tc_create_dname(&again, ctx) == kTCErrNone);
    // Values written as '#' and hex drop their tag and length, so only a
    // text of escaped values is read back whole.
    if (tc_make_dname_fromstring(again, text.c_str(), ctx) == kTCErrNone && text.find("=#") == std::string::npos) {
      Check(TextOf(again, ctx) == text);
      Check(tc_compare_dname(again, again, ctx) == 1);
    }
    tc_free_dname(again, ctx);
    // The first values of each RDN, as the accessor reads them.
    char* value = nullptr;
    if (tc_get_attributeValue(&value, name, "CN", ctx) == kTCErrNone) std::free(value);
  }
  tc_free_dname(name, ctx);
}

// The names inside values read from extensions.
inline void TextOfGenName(const TC_GEN_NAME* g, TC_CONTEXT* ctx) {
  if (g != nullptr && g->type == kTCGenNameDirectory) TextOf(reinterpret_cast<PKIName*>(g->data), ctx);
}
inline void TextOfGenNames(const TC_GEN_NAMES* n, TC_CONTEXT* ctx) {
  for (int32_t i = 0; n != nullptr && i < n->count; ++i) TextOfGenName(n->names[i], ctx);
}

// Writes the names inside a value of row `row` of supportedExtensions as
// text, then frees the value with its own helper.
inline void VisitAndFree(int row, void* out, TC_CONTEXT* ctx) {
  auto release = [&](void* p) { ctx->memMgr->deallocate(ctx->memMgr, p); };
  switch (row) {
    case 2:
    case 3:
      TextOfGenNames(static_cast<TC_GEN_NAMES*>(out), ctx);
      tc_free_gennamelist(static_cast<TC_GEN_NAMES*>(out), ctx);
      break;
    case 4:
    case 5:
    case 18:
      std::free(out);
      break;
    case 6: {
      auto* aki = static_cast<TC_AUTHORITY_KEY_ID*>(out);
      TextOfGenNames(aki->authorityCertIssuer, ctx);
      ostrak::tc::FreeAuthorityKeyId(aki, ctx);
      break;
    }
    case 7:
      PKIFreeVariableBlock(ctx->certCtx, static_cast<PKIVariableBlock*>(out));
      break;
    case 9:
      ostrak::tc::FreeCertificatePolicies(static_cast<TC_CERTIFICATE_POLICIES*>(out), ctx);
      break;
    case 10:
      ostrak::tc::FreePolicyMappings(static_cast<TC_POLICY_MAPPINGS*>(out), ctx);
      break;
    case 11:
      ostrak::tc::FreeSubjectDirectoryAttributes(static_cast<TC_SUBJECT_DIRECTORY_ATTRIBUTES*>(out), ctx);
      break;
    case 12: {
      auto* nc = static_cast<TC_NAME_CONSTRAINTS*>(out);
      for (TC_GENERAL_SUBTREES* t : {nc->permitted, nc->excluded})
        for (int32_t i = 0; t != nullptr && i < t->count; ++i) TextOfGenName(t->bases[i], ctx);
      tc_FreeNameConstraints(nc, ctx);
      break;
    }
    case 14:
      ostrak::tc::FreeExtKeyUsage(static_cast<TC_EXT_KEY_USAGE*>(out), ctx);
      break;
    case 15: {
      auto* dps = static_cast<TC_CRL_DIST_POINTS*>(out);
      for (int32_t i = 0; i < dps->count; ++i) {
        TextOfGenNames(dps->points[i].cRLIssuer, ctx);
        if (dps->points[i].name != nullptr && dps->points[i].name->kind == kTCDistPointFullName)
          TextOfGenNames(static_cast<TC_GEN_NAMES*>(dps->points[i].name->value), ctx);
      }
      tc_FreeCRLDistributionPoints(dps, ctx);
      break;
    }
    case 16: {
      auto* aia = static_cast<TC_AUTHORITY_INFO_ACCESS*>(out);
      for (int32_t i = 0; i < aia->count; ++i) TextOfGenName(aia->descriptions[i].location, ctx);
      tc_FreeAuthorityInfoAccess(aia, ctx);
      break;
    }
    case 17: {
      auto* idp = static_cast<TC_ISSUING_DIST_POINT*>(out);
      if (idp->distributionPoint != nullptr && idp->distributionPoint->kind == kTCDistPointFullName)
        TextOfGenNames(static_cast<TC_GEN_NAMES*>(idp->distributionPoint->value), ctx);
      tc_FreeIssuingDistributionPoint(idp, ctx);
      release(idp);
      break;
    }
    case 19:
    case 20:
      break;  // the value itself
    default:
      release(out);
  }
}

// tc_getextval of every row of the table on a list.
inline void ReadEveryRow(PKIExtensions* list, TC_CONTEXT* ctx) {
  if (list == nullptr) return;
  for (int row = 0; supportedExtensions[row].oid != nullptr; ++row) {
    void* out = reinterpret_cast<void*>(1);
    int critical = 7;
    int32_t e = tc_getextval(&out, &critical, supportedExtensions[row].oid, supportedExtensions[row].oidLength, list, ctx);
    Check(critical == 0 || critical == 1);
    if (e != kTCErrNone) {
      Check(out == nullptr && e < 0);
      continue;
    }
    Check(out != nullptr || row == 19 || row == 20);
    VisitAndFree(row, out, ctx);
  }
}

// A certificate: decoded, every row read, every name written as text.
inline void RunCertificate(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX) return;
  Context c;
  TC_CONTEXT* ctx = c.get();
  TC_CERT* cert = reinterpret_cast<TC_CERT*>(1);
  int32_t e = tc_unpack_cert(&cert, data, static_cast<uint32_t>(size), ctx);
  if (e != kTCErrNone) {
    Check(cert == nullptr && (e == kTCErrParse || e == kTCErrInvalidArgs));
    return;
  }
  TextOf(&cert->tbs->subject, ctx);
  TextOf(&cert->tbs->issuer, ctx);
  char* value = nullptr;
  if (tc_get_attributeValue(&value, &cert->tbs->subject, "CN", ctx) == kTCErrNone) std::free(value);
  ReadEveryRow(cert->tbs->extensions, ctx);
  int32_t version = -1;
  Check(tc_get_version(&version, cert, ctx) == kTCErrNone && version >= 0 && version <= 2);
  Check(tc_is_self_signed(cert, ctx) >= 0);
  // Into the list, twice (the second copy is dropped as a duplicate unless
  // the issuer name is not equal to itself: a PrintableString that does not
  // decode).
  Check(tc_add_cert(cert, ctx) == kTCErrNone);
  Check(tc_import_cert(data, static_cast<uint32_t>(size), ctx) == kTCErrNone);
  Check(ctx->certList != nullptr);
}

// Callbacks that sign with a fixed value and accept every signature, so
// that a CRL of any issuer reaches its extensions.
inline int FixedSign(uint8_t** signature, uint32_t* length, const uint8_t*, uint32_t, const uint8_t*, uint32_t, void*,
                     TC_CONTEXT* ctx) {
  *signature = static_cast<uint8_t*>(ctx->memMgr->allocate(ctx->memMgr, 1));
  if (*signature == nullptr) return -1;
  **signature = 0x5A;
  *length = 1;
  return 0;
}
inline int AcceptAll(const uint8_t*, uint32_t, const uint8_t*, uint32_t, const uint8_t*, uint32_t, const uint8_t*,
                     uint32_t, const uint8_t*, uint32_t, TC_CERT*, void*, TC_CONTEXT*) {
  return 0;
}

// A CRL: the first byte gives the flags, the rest is the DER. A
// certificate of the CRL's issuer is made first, so the import reaches the
// extensions whatever the issuer.
inline void RunCRL(const uint8_t* data, size_t size) {
  if (size < 1 || size > UINT32_MAX) return;
  Context c(FixedSign, AcceptAll);
  TC_CONTEXT* ctx = c.get();
  const int flags = data[0] & (kTCFlagRequireCRL | kTCFlagSkipValidity | kTCFlagCRLNextUpdate);
  const uint8_t* der = data + 1;
  const uint32_t length = static_cast<uint32_t>(size - 1);
  PKICertificateList* peek = nullptr;
  if (length == 0 || tc_unpack_crl(&peek, der, length, ctx) != kTCErrNone) {
    Check(peek == nullptr);
    Check(tc_import_crl(der, length, ctx, flags) != kTCErrNone);
    return;
  }
  static const uint8_t kOid[] = {0x2A, 0x03};
  static const uint8_t kSerial[] = {0x01};
  TC_CERT* issuer = nullptr;
  if (tc_create_cert(&issuer, 2, kSerial, 1, kOid, 2, nullptr, 0, &peek->tbsCertList.issuer, 0, 1, &peek->tbsCertList.issuer,
                     nullptr, kOid, 2, kSerial, 1, nullptr, 0, ctx) == kTCErrNone) {
    Check(tc_add_cert(issuer, ctx) == kTCErrNone);
  }
  tc_free_crl(peek, ctx);
  int32_t e = tc_import_crl(der, length, ctx, flags);
  if (e != kTCErrNone || ctx->crlList == nullptr) return;
  PKICertificateList* held = ctx->crlList->crl;
  ReadEveryRow(held->tbsCertList.crlExtensions, ctx);
  const PKIRevokedCertificates* entries = held->tbsCertList.revokedCertificates;
  for (int32_t i = 0; entries != nullptr && i < entries->count && i < 8; ++i)
    ReadEveryRow(entries->elements[i]->crlEntryExtensions, ctx);
  // The revocation check of the issuer certificate made above (its serial
  // number 01 may be listed).
  if (ctx->certList != nullptr) {
    int32_t r = tc_check_crl(ctx, ctx->certList->cert, flags);
    Check(r == kTCErrNone || r == kTCErrRevoked || r == kTCErrCRLExpired || r == kTCErrNoCRL);
  }
  TextOf(&held->tbsCertList.issuer, ctx);
  Check(tc_reset_crl_times(held, 1, ctx) == kTCErrNone);
}

}  // namespace tc_fuzz

#endif  // OSTRAK_TESTS_PKI_FUZZ_TC_FUZZ_BODIES_H_
