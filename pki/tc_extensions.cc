// The extension handler registry, the generic add and get over the table
// of supported extensions, and the deep copy of extension lists
// (pki/tc_extensions.h).
#include "pki/tc_extensions.h"

#include "pki/tc_internal.h"

namespace {

using namespace ostrak::tc;
namespace cert_asn = ostrak::cert_asn;

bool SameOid(const uint8_t* a, uint32_t aLength, const uint8_t* b, uint32_t bLength) {
  return SameBytes(a, aLength, b, bLength);
}

#define PKI_TC_ROW(add, get, oid) {add, get, oid, sizeof oid}

// A deep copy of one extension, or null without memory.
PKIExtension* CopyExtension(const PKIExtension* from, TC_CONTEXT* ctx) {
  Owned<PKIExtension> copy(cert_asn::kExtension, ctx);
  if (!copy.make()) return nullptr;
  if (!SetBlock(ctx, &copy->extnID, from->extnID.bytes, from->extnID.length) ||
      !SetBlock(ctx, &copy->extnValue, from->extnValue.bytes, from->extnValue.length))
    return nullptr;
  if (from->critical != nullptr) {
    copy->critical = PKINewBOOLEAN(Codec(ctx));
    if (copy->critical == nullptr) return nullptr;
    *copy->critical = *from->critical;
  }
  return copy.release();
}

}  // namespace

const TC_SUPPORTED_EXTENSION supportedExtensions[22] = {
    PKI_TC_ROW(AddKeyUsageExt, GetKeyUsage, PKIid_ce_keyUsage_OID),
    PKI_TC_ROW(AddBasicConstraintsExt, GetBasicConstraints, PKIid_ce_basicConstraints_OID),
    PKI_TC_ROW(AddSubjectAltNameExt, GetAlternativeNameExt, PKIid_ce_subjectAltName_OID),
    PKI_TC_ROW(AddIssuerAltNameExt, GetAlternativeNameExt, PKIid_ce_issuerAltName_OID),
    PKI_TC_ROW(AddCRLNumberExt, GetCRLNumberExt, PKIid_ce_cRLNumber_OID),
    PKI_TC_ROW(AddDeltaCRLIndicatorExt, GetDeltaCRLIndicatorExt, PKIid_ce_deltaCRLIndicator_OID),
    PKI_TC_ROW(AddAuthorityKeyIdentifier, GetAuthorityKeyIdentifier, PKIid_ce_authorityKeyIdentifier_OID),
    PKI_TC_ROW(AddSubjectKeyIdentifier, GetOctetStringExt, PKIid_ce_subjectKeyIdentifier_OID),
    PKI_TC_ROW(AddPrivateKeyUsagePeriod, GetPrivateKeyUsagePeriod, PKIid_ce_privateKeyUsagePeriod_OID),
    PKI_TC_ROW(AddCertificatePolicies, GetCertificatePolicies, PKIid_ce_certificatePolicies_OID),
    PKI_TC_ROW(AddPolicyMappings, GetPolicyMappings, PKIid_ce_policyMappings_OID),
    PKI_TC_ROW(AddSubjectDirectoryAttributes, GetSubjectDirectoryAttributes, PKIid_ce_subjectDirectoryAttributes_OID),
    PKI_TC_ROW(AddNameConstraints, GetNameConstraints, PKIid_ce_nameConstraints_OID),
    PKI_TC_ROW(AddPolicyConstraints, GetPolicyConstraints, PKIid_ce_policyConstraints_OID),
    PKI_TC_ROW(AddExtKeyUsageSyntax, GetExtKeyUsageSyntax, PKIid_ce_extKeyUsage_OID),
    PKI_TC_ROW(AddCRLDistributionPoints, GetCRLDistributionPoints, PKIid_ce_cRLDistributionPoints_OID),
    PKI_TC_ROW(AddAuthorityInfoAccess, GetAuthorityInfoAccess, PKIid_pe_authorityInfoAccess_OID),
    PKI_TC_ROW(AddIssuingDistributionPoint, GetIssuingDistributionPoint, PKIid_ce_issuingDistributionPoint_OID),
    PKI_TC_ROW(AddCRLReason, GetCRLReason, PKIid_ce_cRLReasons_OID),
    PKI_TC_ROW(AddHoldInstructionCode, GetHoldInstructionCode, PKIid_ce_holdInstructionCode_OID),
    PKI_TC_ROW(AddInvalidityDate, GetInvalidityDate, PKIid_ce_invalidityDate_OID),
    {nullptr, nullptr, nullptr, 0},
};
#undef PKI_TC_ROW

int32_t tc_register_handler(const uint8_t* oid, uint32_t oidLength, TC_ExtensionHandler handler,
                            TC_CONTEXT* ctx) {
  if (ctx == nullptr || oid == nullptr || oidLength == 0) return kTCErrInvalidArgs;
  for (TC_HANDLER_LIST* node = ctx->handlerList; node != nullptr; node = node->next) {
    if (SameOid(node->entry->oid, node->entry->oidLength, oid, oidLength)) {
      node->entry->handler = handler;
      return kTCErrNone;
    }
  }
  ScopedBlock entryOwner(ctx, NewZeroed<TC_HANDLER_ENTRY>(ctx));
  ScopedBlock oidOwner(ctx, CopyBytes(ctx, oid, oidLength));
  auto* node = NewZeroed<TC_HANDLER_LIST>(ctx);
  if (entryOwner.get() == nullptr || oidOwner.get() == nullptr || node == nullptr) {
    Release(ctx, node);
    return kTCErrNoMemory;
  }
  auto* entry = static_cast<TC_HANDLER_ENTRY*>(entryOwner.release());
  entry->oid = static_cast<uint8_t*>(oidOwner.release());
  entry->oidLength = oidLength;
  entry->handler = handler;
  node->entry = entry;
  node->next = ctx->handlerList;
  ctx->handlerList = node;
  return kTCErrNone;
}

int32_t tc_process_extensions(PKIExtensions* list, void* object, TC_CONTEXT* ctx) {
  if (list == nullptr || list->count <= 0) return kTCErrNone;
  if (ctx == nullptr) return kTCErrInvalidArgs;
  for (int32_t i = 0; i < list->count; ++i) {
    PKIExtension* ext = list->elements[i];
    if (ext == nullptr) continue;
    const TC_HANDLER_ENTRY* found = nullptr;
    for (TC_HANDLER_LIST* node = ctx->handlerList; node != nullptr && found == nullptr; node = node->next)
      if (SameOid(node->entry->oid, node->entry->oidLength, ext->extnID.bytes, ext->extnID.length))
        found = node->entry;
    if (found != nullptr) {
      if (found->handler != nullptr && found->handler(ext, object, ctx) != 0) return kTCErrExtension;
    } else if (ext->critical != nullptr && ext->critical->value != 0) {
      return kTCErrCriticalExtension;
    }
  }
  return kTCErrNone;
}

void tc_free_handlers(TC_HANDLER_LIST** head, PKIMemoryMgr* memMgr) {
  if (head == nullptr || memMgr == nullptr) return;
  for (TC_HANDLER_LIST* node = *head; node != nullptr;) {
    TC_HANDLER_LIST* next = node->next;
    if (node->entry != nullptr) memMgr->deallocate(memMgr, node->entry->oid);
    memMgr->deallocate(memMgr, node->entry);
    memMgr->deallocate(memMgr, node);
    node = next;
  }
  *head = nullptr;
}

int32_t tc_create_extlist(PKIExtensions** out, TC_CONTEXT* ctx) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (ctx == nullptr) return kTCErrInvalidArgs;
  *out = PKINewExtensions(Codec(ctx));
  return *out != nullptr ? kTCErrNone : kTCErrNoMemory;
}

void tc_free_extlist(PKIExtensions* list, TC_CONTEXT* ctx) {
  if (ctx != nullptr) PKIFreeExtensions(Codec(ctx), list);
}

int32_t tc_add_extension(PKIExtensions* list, const uint8_t* oid, uint32_t oidLength, int critical,
                         const uint8_t* der, uint32_t derLength, TC_CONTEXT* ctx) {
  if (list == nullptr || oid == nullptr || der == nullptr || oidLength == 0 || ctx == nullptr)
    return kTCErrInvalidArgs;
  Owned<PKIExtension> ext(cert_asn::kExtension, ctx);
  if (!ext.make() || !SetBlock(ctx, &ext->extnID, oid, oidLength) ||
      !SetBlock(ctx, &ext->extnValue, der, derLength))
    return kTCErrNoMemory;
  if (critical != 0) {
    ext->critical = PKINewBOOLEAN(Codec(ctx));
    if (ext->critical == nullptr) return kTCErrNoMemory;
    PKIPutBoolVal(Codec(ctx), ext->critical, 1);
  }
  if (PKIAddOfElement(Codec(ctx), ext.get(), list) != kPKIErrNone) return kTCErrNoMemory;
  ext.release();
  return kTCErrNone;
}

int32_t tc_find_extension(PKIExtension** out, PKIExtensions* list, const uint8_t* oid, uint32_t oidLength) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (list == nullptr || oid == nullptr) return kTCErrInvalidArgs;
  for (int32_t i = 0; i < list->count; ++i) {
    PKIExtension* ext = list->elements[i];
    if (ext != nullptr && SameOid(ext->extnID.bytes, ext->extnID.length, oid, oidLength)) {
      *out = ext;
      return kTCErrNone;
    }
  }
  return kTCErrNotFound;
}

int32_t tc_setextval(PKIExtensions* list, const uint8_t* oid, uint32_t oidLength, int criticality, void* value,
                     TC_CONTEXT* ctx) {
  if (list == nullptr || oid == nullptr || oidLength == 0 || criticality < -1 || criticality > 1 ||
      value == nullptr || ctx == nullptr)
    return kTCErrInvalidArgs;
  for (const TC_SUPPORTED_EXTENSION* row = supportedExtensions; row->oid != nullptr; ++row)
    if (row->add != nullptr && SameOid(row->oid, row->oidLength, oid, oidLength))
      return row->add(list, value, criticality, ctx);
  return kTCErrExtensionNotSupported;
}

int32_t tc_getextval(void** out, int* critical, const uint8_t* oid, uint32_t oidLength, PKIExtensions* list,
                     TC_CONTEXT* ctx) {
  if (out == nullptr || critical == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  *critical = 0;
  if (list == nullptr || oid == nullptr || oidLength == 0 || ctx == nullptr) return kTCErrInvalidArgs;
  const TC_SUPPORTED_EXTENSION* row = supportedExtensions;
  while (row->oid != nullptr && !(row->get != nullptr && SameOid(row->oid, row->oidLength, oid, oidLength))) ++row;
  if (row->oid == nullptr) return kTCErrExtensionNotSupported;
  PKIExtension* ext = nullptr;
  if (int32_t e = tc_find_extension(&ext, list, oid, oidLength)) return e;
  *critical = ext->critical != nullptr && ext->critical->value != 0 ? 1 : 0;
  return row->get(out, ext, ctx);
}

int32_t CopyExtList(PKIExtensions** out, PKIExtensions* source, TC_CONTEXT* ctx) {
  if (out == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (source == nullptr) return kTCErrNone;
  Owned<PKIExtensions> copy(cert_asn::kExtensions, ctx);
  if (!copy.make()) return kTCErrNoMemory;
  for (int32_t i = 0; i < source->count; ++i) {
    if (source->elements[i] == nullptr) continue;
    PKIExtension* ext = CopyExtension(source->elements[i], ctx);
    if (ext == nullptr) return kTCErrNoMemory;
    if (PKIAddOfElement(Codec(ctx), ext, copy.get()) != kPKIErrNone) {
      PKIFreeExtension(Codec(ctx), ext);
      return kTCErrNoMemory;
    }
  }
  *out = copy.release();
  return kTCErrNone;
}
