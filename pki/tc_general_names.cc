// General names and distribution-point names between the toolkit's
// records and the X.509 module's, and the freeing helpers of the value
// records made of them (pki/tc_extensions.h).
#include "pki/tc_dname.h"
#include "pki/tc_extensions.h"
#include "pki/tc_internal.h"

namespace {

using namespace ostrak::tc;
namespace cert_asn = ostrak::cert_asn;

constexpr uint8_t kRfc822 = kPKIContext | 1;
constexpr uint8_t kDNS = kPKIContext | 2;
constexpr uint8_t kDirectory = kPKIContextConstructed | 4;
constexpr uint8_t kURI = kPKIContext | 6;
constexpr uint8_t kIP = kPKIContext | 7;
constexpr uint8_t kRID = kPKIContext | 8;
constexpr uint8_t kFullName = kPKIContextConstructed | 0;
constexpr uint8_t kRelativeName = kPKIContextConstructed | 1;

// A new value block holding a copy of the bytes, or null.
PKIVariableBlock* NewBlock(TC_CONTEXT* ctx, const uint8_t* bytes, uint32_t n) {
  PKIVariableBlock* b = PKINewVariableBlock(Codec(ctx));
  if (b != nullptr && !SetBlock(ctx, b, bytes, n)) {
    PKIFreeVariableBlock(Codec(ctx), b);
    return nullptr;
  }
  return b;
}

}  // namespace

int32_t tc_GEN_NAME_to_PKIGeneralName(PKIGeneralName** out, TC_GEN_NAME* name, TC_CONTEXT* ctx) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (name == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  Owned<PKIGeneralName> g(cert_asn::kGeneralName, ctx);
  if (!g.make()) return kTCErrNoMemory;
  switch (name->type) {
    case kTCGenNameDirectory: {
      PKIName* copy = nullptr;
      if (int32_t e = CopyName(&copy, reinterpret_cast<PKIName*>(name->data), ctx)) return e;
      if (copy == nullptr) return kTCErrInvalidArgs;
      g->tag = kDirectory;
      g->value = copy;
      break;
    }
    case kTCGenNameRfc822:
    case kTCGenNameDNS:
    case kTCGenNameURI:
    case kTCGenNameIP:
    case kTCGenNameRID: {
      static constexpr uint8_t kTags[] = {0, kRfc822, kDNS, 0, kURI, kIP, kRID};
      if (name->data == nullptr && name->length != 0) return kTCErrInvalidArgs;
      g->value = NewBlock(ctx, name->data, name->length);
      if (g->value == nullptr) return kTCErrNoMemory;
      g->tag = kTags[name->type];
      break;
    }
    default:
      return kTCErrUnknown;
  }
  *out = g.release();
  return kTCErrNone;
}

int32_t tc_GEN_NAMES_to_PKIGeneralNames(PKIGeneralNames* list, TC_GEN_NAMES* names, TC_CONTEXT* ctx) {
  if (list == nullptr || names == nullptr || ctx == nullptr || (names->count > 0 && names->names == nullptr))
    return kTCErrInvalidArgs;
  for (int32_t i = 0; i < names->count; ++i) {
    PKIGeneralName* g = nullptr;
    if (int32_t e = tc_GEN_NAME_to_PKIGeneralName(&g, names->names[i], ctx)) return e;
    if (PKIAddOfElement(Codec(ctx), g, list) != kPKIErrNone) {
      PKIFreeGeneralName(Codec(ctx), g);
      return kTCErrNoMemory;
    }
  }
  return kTCErrNone;
}

int32_t tc_PKIGeneralNameToTC(TC_GEN_NAME** out, PKIGeneralName* name, TC_CONTEXT* ctx) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (name == nullptr || ctx == nullptr || name->value == nullptr) return kTCErrInvalidArgs;
  auto* t = NewZeroed<TC_GEN_NAME>(ctx);
  if (t == nullptr) return kTCErrNoMemory;
  int32_t type = 0;
  switch (name->tag & ~kPKIConstructed & 0xFF) {
    case kRfc822: type = kTCGenNameRfc822; break;
    case kDNS: type = kTCGenNameDNS; break;
    case kDirectory & ~kPKIConstructed: type = kTCGenNameDirectory; break;
    case kURI: type = kTCGenNameURI; break;
    case kIP: type = kTCGenNameIP; break;
    case kRID: type = kTCGenNameRID; break;
    default:
      Release(ctx, t);
      return kTCErrUnknown;
  }
  t->type = type;
  if (type == kTCGenNameDirectory) {
    PKIName* copy = nullptr;
    if (int32_t e = CopyName(&copy, static_cast<PKIName*>(name->value), ctx)) {
      Release(ctx, t);
      return e;
    }
    t->data = reinterpret_cast<uint8_t*>(copy);
  } else {
    auto* v = static_cast<PKIVariableBlock*>(name->value);
    t->data = CopyBytes(ctx, v->bytes, v->length);
    if (t->data == nullptr) {
      Release(ctx, t);
      return kTCErrNoMemory;
    }
    t->length = v->length;
  }
  *out = t;
  return kTCErrNone;
}

int32_t tc_PKIGeneralNamesToTC(TC_GEN_NAMES** out, PKIGeneralNames* names, TC_CONTEXT* ctx) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (names == nullptr || ctx == nullptr || names->count < 0) return kTCErrInvalidArgs;
  auto* list = NewZeroed<TC_GEN_NAMES>(ctx);
  if (list == nullptr) return kTCErrNoMemory;
  list->names = static_cast<TC_GEN_NAME**>(
      AllocZeroed(ctx, sizeof(TC_GEN_NAME*) * (names->count == 0 ? 1 : static_cast<size_t>(names->count))));
  if (list->names == nullptr) {
    Release(ctx, list);
    return kTCErrNoMemory;
  }
  for (int32_t i = 0; i < names->count; ++i) {
    if (int32_t e = tc_PKIGeneralNameToTC(&list->names[i], names->elements[i], ctx)) {
      tc_free_gennamelist(list, ctx);
      return e;
    }
    list->count = i + 1;
  }
  *out = list;
  return kTCErrNone;
}

void tc_free_genname(TC_GEN_NAME* name, PKIMemoryMgr* memMgr) {
  if (name == nullptr || memMgr == nullptr) return;
  PKICONTEXT codec{0, memMgr};
  if (name->type == kTCGenNameDirectory) {
    PKIFreeName(&codec, reinterpret_cast<PKIName*>(name->data));
  } else {
    ostrak::asn::Deallocate(&codec, name->data);
  }
  ostrak::asn::Deallocate(&codec, name);
}

void tc_free_gennamelist(TC_GEN_NAMES* names, TC_CONTEXT* ctx) {
  if (names == nullptr || ctx == nullptr) return;
  for (int32_t i = 0; names->names != nullptr && i < names->count; ++i) tc_free_genname(names->names[i], ctx->memMgr);
  Release(ctx, names->names);
  Release(ctx, names);
}

int32_t tc_DistPointNameToPKI(PKIDistributionPointName** out, TC_DIST_POINT_NAME* name, TC_CONTEXT* ctx) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (name == nullptr || ctx == nullptr || name->value == nullptr) return kTCErrInvalidArgs;
  Owned<PKIDistributionPointName> d(cert_asn::kDistributionPointName, ctx);
  if (!d.make()) return kTCErrNoMemory;
  if (name->kind == kTCDistPointFullName) {
    Owned<PKIGeneralNames> names(cert_asn::kGeneralNames, ctx);
    if (!names.make()) return kTCErrNoMemory;
    if (int32_t e = tc_GEN_NAMES_to_PKIGeneralNames(names.get(), static_cast<TC_GEN_NAMES*>(name->value), ctx))
      return e;
    d->tag = kFullName;
    d->value = names.release();
  } else if (name->kind == kTCDistPointRelative) {
    Owned<PKIRelativeDistinguishedName> rdn(cert_asn::kRelativeDistinguishedName, ctx);
    if (!rdn.make()) return kTCErrNoMemory;
    if (int32_t e = ParseStringRDN(rdn.get(), static_cast<const char*>(name->value), ctx)) return e;
    d->tag = kRelativeName;
    d->value = rdn.release();
  } else {
    return kTCErrUnknown;
  }
  *out = d.release();
  return kTCErrNone;
}

int32_t tc_DistPointNameToTC(TC_DIST_POINT_NAME** out, PKIDistributionPointName* name, TC_CONTEXT* ctx) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (name == nullptr || ctx == nullptr || name->value == nullptr) return kTCErrInvalidArgs;
  auto* t = NewZeroed<TC_DIST_POINT_NAME>(ctx);
  if (t == nullptr) return kTCErrNoMemory;
  int32_t e = kTCErrNone;
  switch (name->tag | kPKIConstructed) {
    case kFullName: {
      TC_GEN_NAMES* names = nullptr;
      e = tc_PKIGeneralNamesToTC(&names, static_cast<PKIGeneralNames*>(name->value), ctx);
      t->kind = kTCDistPointFullName;
      t->value = names;
      break;
    }
    case kRelativeName: {
      char* text = RDNToString(static_cast<PKIRelativeDistinguishedName*>(name->value), ctx);
      if (text == nullptr) e = kTCErrNameParse;
      t->kind = kTCDistPointRelative;
      t->value = text;
      break;
    }
    default:
      e = kTCErrUnknown;
  }
  if (e != kTCErrNone) {
    Release(ctx, t);
    return e;
  }
  *out = t;
  return kTCErrNone;
}

void tc_FreeDistributionPointName(TC_DIST_POINT_NAME* name, TC_CONTEXT* ctx) {
  if (name == nullptr || ctx == nullptr) return;
  if (name->kind == kTCDistPointRelative)
    Release(ctx, name->value);
  else
    tc_free_gennamelist(static_cast<TC_GEN_NAMES*>(name->value), ctx);
  Release(ctx, name);
}

int32_t tc_GetGeneralSubtrees(TC_GENERAL_SUBTREES** out, PKIGeneralSubtrees* subtrees, TC_CONTEXT* ctx) {
  if (out == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (subtrees == nullptr) return kTCErrNone;
  if (subtrees->count < 0) return kTCErrInvalidArgs;
  auto* t = NewZeroed<TC_GENERAL_SUBTREES>(ctx);
  if (t == nullptr) return kTCErrNoMemory;
  const size_t n = subtrees->count == 0 ? 1 : static_cast<size_t>(subtrees->count);
  t->bases = static_cast<TC_GEN_NAME**>(AllocZeroed(ctx, n * sizeof(TC_GEN_NAME*)));
  t->minimums = static_cast<int32_t*>(AllocZeroed(ctx, n * sizeof(int32_t)));
  t->maximums = static_cast<int32_t*>(AllocZeroed(ctx, n * sizeof(int32_t)));
  if (t->bases == nullptr || t->minimums == nullptr || t->maximums == nullptr) {
    FreeGeneralSubtrees(t, ctx);
    return kTCErrNoMemory;
  }
  for (int32_t i = 0; i < subtrees->count; ++i) {
    PKIGeneralSubtree* s = subtrees->elements[i];
    t->count = i + 1;
    t->minimums[i] = 0;
    t->maximums[i] = -1;
    int32_t e = tc_PKIGeneralNameToTC(&t->bases[i], &s->base, ctx);
    if (e == kTCErrNone && s->minimum != nullptr && !IntegerToInt32(s->minimum, &t->minimums[i])) e = kTCErrUnknown;
    if (e == kTCErrNone && s->maximum != nullptr && !IntegerToInt32(s->maximum, &t->maximums[i])) e = kTCErrUnknown;
    if (e != kTCErrNone) {
      FreeGeneralSubtrees(t, ctx);
      return e;
    }
  }
  *out = t;
  return kTCErrNone;
}

namespace ostrak::tc {

void FreeGeneralSubtrees(TC_GENERAL_SUBTREES* value, TC_CONTEXT* ctx) {
  if (value == nullptr || ctx == nullptr) return;
  for (int32_t i = 0; value->bases != nullptr && i < value->count; ++i) tc_free_genname(value->bases[i], ctx->memMgr);
  Release(ctx, value->bases);
  Release(ctx, value->minimums);
  Release(ctx, value->maximums);
  Release(ctx, value);
}

}  // namespace ostrak::tc

void tc_FreeNameConstraints(TC_NAME_CONSTRAINTS* value, TC_CONTEXT* ctx) {
  if (value == nullptr || ctx == nullptr) return;
  FreeGeneralSubtrees(value->permitted, ctx);
  FreeGeneralSubtrees(value->excluded, ctx);
  Release(ctx, value);
}

void tc_FreeCRLDistributionPoints(TC_CRL_DIST_POINTS* value, TC_CONTEXT* ctx) {
  if (value == nullptr || ctx == nullptr) return;
  for (int32_t i = 0; value->points != nullptr && i < value->count; ++i) {
    tc_FreeDistributionPointName(value->points[i].name, ctx);
    tc_free_gennamelist(value->points[i].cRLIssuer, ctx);
  }
  Release(ctx, value->points);
  Release(ctx, value);
}

void tc_FreeAuthorityInfoAccess(TC_AUTHORITY_INFO_ACCESS* value, TC_CONTEXT* ctx) {
  if (value == nullptr || ctx == nullptr) return;
  for (int32_t i = 0; value->descriptions != nullptr && i < value->count; ++i) {
    Release(ctx, value->descriptions[i].method);
    tc_free_genname(value->descriptions[i].location, ctx->memMgr);
  }
  Release(ctx, value->descriptions);
  Release(ctx, value);
}

void tc_FreeIssuingDistributionPoint(TC_ISSUING_DIST_POINT* value, TC_CONTEXT* ctx) {
  if (value == nullptr || ctx == nullptr) return;
  tc_FreeDistributionPointName(value->distributionPoint, ctx);
  value->distributionPoint = nullptr;
}
