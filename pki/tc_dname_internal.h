// The keyword list's life cycle and look-ups, shared by the context and
// the name files. Not for callers of the toolkit.
#ifndef OSTRAK_PKI_TC_DNAME_INTERNAL_H_
#define OSTRAK_PKI_TC_DNAME_INTERNAL_H_

#include <cstdint>

#include "pki/tc_context.h"

namespace ostrak::tc {

// Seeds the context's keyword list from the keyword table (each row put at
// the head, so the list holds the table in reverse). -3.
int32_t InitAVAList(TC_CONTEXT* ctx);
// Frees every entry with its keyword and OID.
void FreeAVAList(TC_CONTEXT* ctx);
// The first entry whose OID has that length and those bytes, or null.
const TC_AVATYPE* KeywordOfOid(const TC_CONTEXT* ctx, const uint8_t* oid, uint32_t oidLength);
// A new empty RDN sequence for a Name without one (selector 0x10). -3.
int32_t EnsureSequence(PKIName* name, TC_CONTEXT* ctx);

}  // namespace ostrak::tc

#endif  // OSTRAK_PKI_TC_DNAME_INTERNAL_H_
