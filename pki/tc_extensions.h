// Extensions of the certificate toolkit: the handler registry that chain
// validation and CRL verification consult, the generic add and get keyed
// by OID over the table of 21 supported extensions (supportedExtensions),
// the toolkit's value records of each extension, general names, and the
// OID constants.
//
// An extension list is a PKIExtensions (extnID content bytes, a critical
// BOOLEAN present only when critical, extnValue the DER of the value). A
// get function's output is new memory of the caller's: general-name lists
// go with tc_free_gennamelist, the records below with their freeing
// helpers, the 32-bit words of cRLNumber, deltaCRLIndicator and cRLReasons
// with free() (they come from malloc), every other word or record through
// the context's memory manager.
//
// Criticality given to tc_setextval: 0 or 1 as given, -1 the row's
// default; a row that always writes one criticality ignores the argument.
#ifndef OSTRAK_PKI_TC_EXTENSIONS_H_
#define OSTRAK_PKI_TC_EXTENSIONS_H_

#include <cstdint>

#include "pki/tc_context.h"

// --- OID content bytes ---
#define PKI_TC_OID(name, ...) inline constexpr uint8_t name[] = {__VA_ARGS__};
PKI_TC_OID(PKIid_ce_subjectDirectoryAttributes_OID, 0x55, 0x1D, 0x09)
PKI_TC_OID(PKIid_ce_subjectKeyIdentifier_OID, 0x55, 0x1D, 0x0E)
PKI_TC_OID(PKIid_ce_keyUsage_OID, 0x55, 0x1D, 0x0F)
PKI_TC_OID(PKIid_ce_privateKeyUsagePeriod_OID, 0x55, 0x1D, 0x10)
PKI_TC_OID(PKIid_ce_subjectAltName_OID, 0x55, 0x1D, 0x11)
PKI_TC_OID(PKIid_ce_issuerAltName_OID, 0x55, 0x1D, 0x12)
PKI_TC_OID(PKIid_ce_basicConstraints_OID, 0x55, 0x1D, 0x13)
PKI_TC_OID(PKIid_ce_cRLNumber_OID, 0x55, 0x1D, 0x14)
PKI_TC_OID(PKIid_ce_cRLReasons_OID, 0x55, 0x1D, 0x15)
PKI_TC_OID(PKIid_ce_holdInstructionCode_OID, 0x55, 0x1D, 0x17)
PKI_TC_OID(PKIid_ce_invalidityDate_OID, 0x55, 0x1D, 0x18)
PKI_TC_OID(PKIid_ce_deltaCRLIndicator_OID, 0x55, 0x1D, 0x1B)
PKI_TC_OID(PKIid_ce_issuingDistributionPoint_OID, 0x55, 0x1D, 0x1C)
PKI_TC_OID(PKIid_ce_certificateIssuer_OID, 0x55, 0x1D, 0x1D)
PKI_TC_OID(PKIid_ce_nameConstraints_OID, 0x55, 0x1D, 0x1E)
PKI_TC_OID(PKIid_ce_cRLDistributionPoints_OID, 0x55, 0x1D, 0x1F)
PKI_TC_OID(PKIid_ce_certificatePolicies_OID, 0x55, 0x1D, 0x20)
PKI_TC_OID(PKIid_ce_policyMappings_OID, 0x55, 0x1D, 0x21)
PKI_TC_OID(PKIid_ce_authorityKeyIdentifier_OID, 0x55, 0x1D, 0x23)
PKI_TC_OID(PKIid_ce_policyConstraints_OID, 0x55, 0x1D, 0x24)
PKI_TC_OID(PKIid_ce_extKeyUsage_OID, 0x55, 0x1D, 0x25)
PKI_TC_OID(PKIid_pe_authorityInfoAccess_OID, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x01, 0x01)
PKI_TC_OID(PKIid_qt_cps_OID, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x02, 0x01)
PKI_TC_OID(PKIid_qt_unotice_OID, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x02, 0x02)
PKI_TC_OID(PKIid_kp_serverAuth_OID, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x01)
PKI_TC_OID(PKIid_kp_clientAuth_OID, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x02)
PKI_TC_OID(PKIid_kp_codeSigning_OID, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x03)
PKI_TC_OID(PKIid_kp_emailProtection_OID, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x04)
PKI_TC_OID(PKIid_kp_timeStamping_OID, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x08)
// Hold instructions under the registered arc 1.2.840.10040.2.
PKI_TC_OID(PKIid_holdinstruction_none_OID, 0x2A, 0x86, 0x48, 0xCE, 0x38, 0x02, 0x01)
PKI_TC_OID(PKIid_holdinstruction_callissuer_OID, 0x2A, 0x86, 0x48, 0xCE, 0x38, 0x02, 0x02)
PKI_TC_OID(PKIid_holdinstruction_reject_OID, 0x2A, 0x86, 0x48, 0xCE, 0x38, 0x02, 0x03)
#undef PKI_TC_OID

// --- General names ---
enum : int32_t {
  kTCGenNameRfc822 = 1,     // 0x81, the characters
  kTCGenNameDNS = 2,        // 0x82, the characters
  kTCGenNameDirectory = 3,  // 0xA4, data is a PKIName*, length 0
  kTCGenNameURI = 4,        // 0x86, the characters
  kTCGenNameIP = 5,         // 0x87, the address octets
  kTCGenNameRID = 6,        // 0x88, OID content bytes
};
struct TC_GEN_NAME {
  uint8_t* data;
  uint32_t length;
  int32_t type;
};
struct TC_GEN_NAMES {
  TC_GEN_NAME** names;
  int32_t count;
};

// --- Value records ---
// keyUsage: an int32_t mask, bit i (value 2^i) is named bit i of KeyUsage
// (1 digitalSignature ... 256 decipherOnly); add takes a pointer to it, get
// gives a pointer to a new word.
struct TC_BASIC_CONSTRAINTS {
  int32_t cA;                 // 0 or 1
  int32_t pathLenConstraint;  // -1 absent
};
// subjectKeyIdentifier: a PKIVariableBlock of the identifier octets.
struct TC_PRIVATE_KEY_USAGE_PERIOD {
  uint32_t notBefore;  // toolkit times, 0 absent
  uint32_t notAfter;
};
inline constexpr int32_t kTCQualifierCPS = 0;      // value: char* URI
inline constexpr int32_t kTCQualifierUserNotice = 1;  // value: TC_USER_NOTICE*
struct TC_NOTICE_REFERENCE {
  char* organization;
  int32_t noticeCount;
  int32_t** noticeNumbers;
};
struct TC_USER_NOTICE {
  TC_NOTICE_REFERENCE* noticeRef;  // or null
  char* explicitText;              // or null
};
struct TC_POLICY_QUALIFIER {
  int32_t kind;
  void* value;
};
struct TC_POLICY_INFORMATION {
  uint8_t* oid;
  uint32_t oidLength;
  int32_t qualifierCount;
  TC_POLICY_QUALIFIER* qualifiers;
};
struct TC_CERTIFICATE_POLICIES {
  int32_t count;
  TC_POLICY_INFORMATION* policies;
};
struct TC_POLICY_MAPPING {
  uint8_t* issuerDomainPolicy;
  uint32_t issuerDomainPolicyLength;
  uint8_t* subjectDomainPolicy;
  uint32_t subjectDomainPolicyLength;
};
struct TC_POLICY_MAPPINGS {
  int32_t count;
  TC_POLICY_MAPPING* mappings;
};
struct TC_DIRECTORY_ATTRIBUTE {
  uint8_t* type;
  uint32_t typeLength;
  int32_t valueCount;
  uint8_t** values;        // each the DER of one attribute value
  uint32_t* valueLengths;
};
struct TC_SUBJECT_DIRECTORY_ATTRIBUTES {
  int32_t count;
  TC_DIRECTORY_ATTRIBUTE* attributes;
};
struct TC_GENERAL_SUBTREES {
  int32_t count;
  TC_GEN_NAME** bases;
  int32_t* minimums;  // an absent minimum reads 0
  int32_t* maximums;  // an absent maximum reads -1
};
struct TC_NAME_CONSTRAINTS {
  TC_GENERAL_SUBTREES* permitted;  // or null
  TC_GENERAL_SUBTREES* excluded;   // or null
};
struct TC_POLICY_CONSTRAINTS {
  int32_t requireExplicitPolicy;  // -1 absent
  int32_t inhibitPolicyMapping;   // -1 absent
};
// Purpose codes of TC_KEY_PURPOSE_MAP.
enum : int32_t {
  kTCPurposeServerAuth = 1,
  kTCPurposeClientAuth = 2,
  kTCPurposeCodeSigning = 3,
  kTCPurposeEmailProtection = 4,
  kTCPurposeTimeStamping = 5,
};
struct TC_EXT_KEY_USAGE {
  int32_t count;
  int32_t* purposes;  // a purpose outside the map reads 0
};
inline constexpr int32_t kTCDistPointFullName = 0;  // value: TC_GEN_NAMES*
inline constexpr int32_t kTCDistPointRelative = 1;  // value: char*, one RDN as text
struct TC_DIST_POINT_NAME {
  int32_t kind;
  void* value;
};
// Reason masks travel as one byte: mask value 2^(6-n) is named bit n of
// ReasonFlags (certificateHold 1 ... keyCompromise 32, unused 64).
struct TC_DIST_POINT {
  TC_DIST_POINT_NAME* name;  // or null
  int32_t reasons;           // 0 absent
  TC_GEN_NAMES* cRLIssuer;   // or null
};
struct TC_CRL_DIST_POINTS {
  int32_t count;
  TC_DIST_POINT* points;
};
struct TC_ACCESS_DESCRIPTION {
  uint8_t* method;
  uint32_t methodLength;
  TC_GEN_NAME* location;
};
struct TC_AUTHORITY_INFO_ACCESS {
  int32_t count;
  TC_ACCESS_DESCRIPTION* descriptions;
};
// The CRL rows: cRLNumber and deltaCRLIndicator take a pointer to a
// uint32_t; cRLReasons, holdInstructionCode and invalidityDate take the
// value itself in the value pointer ((void*)(intptr_t)code), and the last
// two give it back that way.
struct TC_AUTHORITY_KEY_ID {
  uint8_t* keyIdentifier;
  uint32_t keyIdentifierLength;      // 0 absent
  TC_GEN_NAMES* authorityCertIssuer;  // or null
  uint8_t* serialNumber;              // INTEGER content octets
  uint32_t serialNumberLength;        // 0 absent
};
struct TC_ISSUING_DIST_POINT {
  TC_DIST_POINT_NAME* distributionPoint;  // or null
  int32_t onlyContainsUserCerts;
  int32_t onlyContainsCACerts;
  int32_t onlySomeReasons;  // reason mask, 0 absent
  int32_t indirectCRL;
};

// --- Tables ---
using TC_AddExtensionFn = int32_t (*)(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx);
using TC_GetExtensionFn = int32_t (*)(void** out, PKIExtension* extension, TC_CONTEXT* ctx);
struct TC_SUPPORTED_EXTENSION {
  TC_AddExtensionFn add;
  TC_GetExtensionFn get;
  const uint8_t* oid;
  uint32_t oidLength;
};
// 21 rows, then an all-zero row.
extern const TC_SUPPORTED_EXTENSION supportedExtensions[22];
struct TC_OID_MAP_ROW {
  int32_t code;
  const uint8_t* oid;
  uint32_t oidLength;
};
// {1 serverAuth ... 5 timeStamping}, ended by a row with a null OID.
extern const TC_OID_MAP_ROW TC_KEY_PURPOSE_MAP[6];
// {0 none, 1 callIssuer, 2 reject}, ended by {-1, null, 0}.
extern const TC_OID_MAP_ROW TC_HOLD_INSTRUCTION_MAP[4];

// --- Registry ---
// Registers or replaces the handler of an OID (null: understood, nothing
// checked). -1, -3 (nothing registered).
int32_t tc_register_handler(const uint8_t* oid, uint32_t oidLength, TC_ExtensionHandler handler, TC_CONTEXT* ctx);
// 0 when every extension passes: a handler that returns non-zero gives -7;
// a critical extension without registered entry -9.
int32_t tc_process_extensions(PKIExtensions* list, void* object, TC_CONTEXT* ctx);
void tc_free_handlers(TC_HANDLER_LIST** head, PKIMemoryMgr* memMgr);

// --- Generic access ---
int32_t tc_create_extlist(PKIExtensions** out, TC_CONTEXT* ctx);
void tc_free_extlist(PKIExtensions* list, TC_CONTEXT* ctx);
// Appends copies of OID and value; critical non-zero writes critical TRUE.
int32_t tc_add_extension(PKIExtensions* list, const uint8_t* oid, uint32_t oidLength, int critical,
                         const uint8_t* der, uint32_t derLength, TC_CONTEXT* ctx);
// -1 (null list, value or context, zero length, criticality outside -1..1),
// -22 (not in the table), else the row's add function's result.
int32_t tc_setextval(PKIExtensions* list, const uint8_t* oid, uint32_t oidLength, int criticality, void* value,
                     TC_CONTEXT* ctx);
// -1 (a null output, critical output, list, OID or context, zero length),
// -22, -11 (no such extension), else the row's get function's result;
// *critical is 1 for a critical TRUE, else 0.
int32_t tc_getextval(void** out, int* critical, const uint8_t* oid, uint32_t oidLength, PKIExtensions* list,
                     TC_CONTEXT* ctx);
// The first extension with that OID, in place; -11 none, -1.
int32_t tc_find_extension(PKIExtension** out, PKIExtensions* list, const uint8_t* oid, uint32_t oidLength);
// A deep copy of the list (null source: null and 0); -3 (no copy left).
int32_t CopyExtList(PKIExtensions** out, PKIExtensions* source, TC_CONTEXT* ctx);

// --- The rows' functions ---
int32_t AddKeyUsageExt(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx);
int32_t GetKeyUsage(void** out, PKIExtension* extension, TC_CONTEXT* ctx);
int32_t AddBasicConstraintsExt(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx);
int32_t GetBasicConstraints(void** out, PKIExtension* extension, TC_CONTEXT* ctx);
int32_t AddSubjectAltNameExt(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx);
int32_t AddIssuerAltNameExt(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx);
int32_t GetAlternativeNameExt(void** out, PKIExtension* extension, TC_CONTEXT* ctx);
int32_t AddSubjectKeyIdentifier(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx);
int32_t GetOctetStringExt(void** out, PKIExtension* extension, TC_CONTEXT* ctx);
int32_t AddPrivateKeyUsagePeriod(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx);
int32_t GetPrivateKeyUsagePeriod(void** out, PKIExtension* extension, TC_CONTEXT* ctx);
int32_t AddCertificatePolicies(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx);
int32_t GetCertificatePolicies(void** out, PKIExtension* extension, TC_CONTEXT* ctx);
int32_t AddPolicyMappings(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx);
int32_t GetPolicyMappings(void** out, PKIExtension* extension, TC_CONTEXT* ctx);
int32_t AddSubjectDirectoryAttributes(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx);
int32_t GetSubjectDirectoryAttributes(void** out, PKIExtension* extension, TC_CONTEXT* ctx);
int32_t AddNameConstraints(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx);
int32_t GetNameConstraints(void** out, PKIExtension* extension, TC_CONTEXT* ctx);
int32_t AddPolicyConstraints(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx);
int32_t GetPolicyConstraints(void** out, PKIExtension* extension, TC_CONTEXT* ctx);
int32_t AddExtKeyUsageSyntax(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx);
int32_t GetExtKeyUsageSyntax(void** out, PKIExtension* extension, TC_CONTEXT* ctx);
int32_t AddCRLDistributionPoints(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx);
int32_t GetCRLDistributionPoints(void** out, PKIExtension* extension, TC_CONTEXT* ctx);
int32_t AddAuthorityInfoAccess(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx);
int32_t GetAuthorityInfoAccess(void** out, PKIExtension* extension, TC_CONTEXT* ctx);
int32_t AddCRLNumberExt(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx);
int32_t GetCRLNumberExt(void** out, PKIExtension* extension, TC_CONTEXT* ctx);
int32_t AddDeltaCRLIndicatorExt(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx);
int32_t GetDeltaCRLIndicatorExt(void** out, PKIExtension* extension, TC_CONTEXT* ctx);
int32_t AddAuthorityKeyIdentifier(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx);
int32_t GetAuthorityKeyIdentifier(void** out, PKIExtension* extension, TC_CONTEXT* ctx);
int32_t AddIssuingDistributionPoint(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx);
int32_t GetIssuingDistributionPoint(void** out, PKIExtension* extension, TC_CONTEXT* ctx);
int32_t AddCRLReason(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx);
int32_t GetCRLReason(void** out, PKIExtension* extension, TC_CONTEXT* ctx);
int32_t AddHoldInstructionCode(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx);
int32_t GetHoldInstructionCode(void** out, PKIExtension* extension, TC_CONTEXT* ctx);
int32_t AddInvalidityDate(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx);
int32_t GetInvalidityDate(void** out, PKIExtension* extension, TC_CONTEXT* ctx);

// DER encoders the add functions use (a new buffer from the context).
int32_t CreateKeyUsageDER(int32_t mask, uint8_t** out, uint32_t* outLength, TC_CONTEXT* ctx);
int32_t CreateBasicConstraintsDER(TC_BASIC_CONSTRAINTS* value, uint8_t** out, uint32_t* outLength,
                                  TC_CONTEXT* ctx);
int32_t CreateGeneralNamesDER(uint8_t** out, uint32_t* outLength, TC_GEN_NAMES* names, TC_CONTEXT* ctx);
int32_t CreateAuthorityKeyIdentifierDER(TC_AUTHORITY_KEY_ID* value, uint8_t** out, uint32_t* outLength,
                                        TC_CONTEXT* ctx);

// --- General-name conversion ---
// -1, -21 (a type outside 1-6), -3.
int32_t tc_GEN_NAME_to_PKIGeneralName(PKIGeneralName** out, TC_GEN_NAME* name, TC_CONTEXT* ctx);
// Appends each converted name; stops at the first error.
int32_t tc_GEN_NAMES_to_PKIGeneralNames(PKIGeneralNames* list, TC_GEN_NAMES* names, TC_CONTEXT* ctx);
// -1, -21 (otherName, ediPartyName, another selector), -3.
int32_t tc_PKIGeneralNameToTC(TC_GEN_NAME** out, PKIGeneralName* name, TC_CONTEXT* ctx);
// A new list; on an error the partial list is freed and *out null.
int32_t tc_PKIGeneralNamesToTC(TC_GEN_NAMES** out, PKIGeneralNames* names, TC_CONTEXT* ctx);
// Frees the name's data (a directoryName's Name through the codec) and
// the record; null ignored.
void tc_free_genname(TC_GEN_NAME* name, PKIMemoryMgr* memMgr);
void tc_free_gennamelist(TC_GEN_NAMES* names, TC_CONTEXT* ctx);
// Kind 0 <-> fullName [0], kind 1 <-> nameRelativeToCRLIssuer [1] (the RDN
// text parsed and written as DN text); -21 for another kind or selector.
int32_t tc_DistPointNameToPKI(PKIDistributionPointName** out, TC_DIST_POINT_NAME* name, TC_CONTEXT* ctx);
int32_t tc_DistPointNameToTC(TC_DIST_POINT_NAME** out, PKIDistributionPointName* name, TC_CONTEXT* ctx);
void tc_FreeDistributionPointName(TC_DIST_POINT_NAME* name, TC_CONTEXT* ctx);
// A subtrees record from a decoded list; null for a null list. -3, -21.
int32_t tc_GetGeneralSubtrees(TC_GENERAL_SUBTREES** out, PKIGeneralSubtrees* subtrees, TC_CONTEXT* ctx);

// --- Freeing value records (every member, array and the record) ---
void tc_FreeNameConstraints(TC_NAME_CONSTRAINTS* value, TC_CONTEXT* ctx);
void tc_FreeCRLDistributionPoints(TC_CRL_DIST_POINTS* value, TC_CONTEXT* ctx);
void tc_FreeAuthorityInfoAccess(TC_AUTHORITY_INFO_ACCESS* value, TC_CONTEXT* ctx);
// Frees the record's distribution-point name only; the record stays the
// caller's.
void tc_FreeIssuingDistributionPoint(TC_ISSUING_DIST_POINT* value, TC_CONTEXT* ctx);

// The freeing helpers the get functions use on their error paths, for the
// records that have no tc_ helper of their own.
namespace ostrak::tc {
void FreeCertificatePolicies(TC_CERTIFICATE_POLICIES* value, TC_CONTEXT* ctx);
void FreePolicyMappings(TC_POLICY_MAPPINGS* value, TC_CONTEXT* ctx);
void FreeSubjectDirectoryAttributes(TC_SUBJECT_DIRECTORY_ATTRIBUTES* value, TC_CONTEXT* ctx);
void FreeGeneralSubtrees(TC_GENERAL_SUBTREES* value, TC_CONTEXT* ctx);
void FreeAuthorityKeyId(TC_AUTHORITY_KEY_ID* value, TC_CONTEXT* ctx);
void FreeExtKeyUsage(TC_EXT_KEY_USAGE* value, TC_CONTEXT* ctx);
}  // namespace ostrak::tc

#endif  // OSTRAK_PKI_TC_EXTENSIONS_H_
