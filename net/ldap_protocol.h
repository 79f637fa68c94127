// The numbers of the LDAP version 2 protocol, each named once: result
// codes, the protocol-operation tags of requests and responses, the filter
// and substring choice tags, search scopes, alias dereferencing values,
// the bind methods, the modify operations, and the BER universal tags the
// messages are built of. Every literal of the protocol in the network
// library, the server and the backend is spelled through these names.
//
// Constants only: no state, nothing to lock.
#ifndef OSTRAK_NET_LDAP_PROTOCOL_H_
#define OSTRAK_NET_LDAP_PROTOCOL_H_

#include <cstdint>

// --- Result codes (LDAPResult.resultCode) ---
inline constexpr int kLdapSuccess = 0;
inline constexpr int kLdapOperationsError = 1;
inline constexpr int kLdapProtocolError = 2;
inline constexpr int kLdapTimeLimitExceeded = 3;
inline constexpr int kLdapSizeLimitExceeded = 4;
inline constexpr int kLdapCompareFalse = 5;
inline constexpr int kLdapCompareTrue = 6;
inline constexpr int kLdapAuthMethodNotSupported = 7;
inline constexpr int kLdapStrongAuthRequired = 8;
inline constexpr int kLdapPartialResults = 9;
inline constexpr int kLdapNoSuchAttribute = 16;
inline constexpr int kLdapUndefinedAttributeType = 17;
inline constexpr int kLdapInappropriateMatching = 18;
inline constexpr int kLdapConstraintViolation = 19;
inline constexpr int kLdapAttributeOrValueExists = 20;
inline constexpr int kLdapInvalidAttributeSyntax = 21;
inline constexpr int kLdapNoSuchObject = 32;
inline constexpr int kLdapAliasProblem = 33;
inline constexpr int kLdapInvalidDNSyntax = 34;
inline constexpr int kLdapIsLeaf = 35;
inline constexpr int kLdapAliasDereferencingProblem = 36;
inline constexpr int kLdapInappropriateAuthentication = 48;
inline constexpr int kLdapInvalidCredentials = 49;
inline constexpr int kLdapInsufficientAccess = 50;
inline constexpr int kLdapBusy = 51;
inline constexpr int kLdapUnavailable = 52;
inline constexpr int kLdapUnwillingToPerform = 53;
inline constexpr int kLdapLoopDetect = 54;
inline constexpr int kLdapNamingViolation = 64;
inline constexpr int kLdapObjectClassViolation = 65;
inline constexpr int kLdapNotAllowedOnNonLeaf = 66;
inline constexpr int kLdapNotAllowedOnRDN = 67;
inline constexpr int kLdapEntryAlreadyExists = 68;
inline constexpr int kLdapObjectClassModsProhibited = 69;
inline constexpr int kLdapResultsTooLarge = 70;
inline constexpr int kLdapOther = 80;
// Results a client library reports of itself; the server sends some of them
// too (decoding and filter errors, a cancelled send, no memory).
inline constexpr int kLdapServerDown = 81;
inline constexpr int kLdapLocalError = 82;
inline constexpr int kLdapEncodingError = 83;
inline constexpr int kLdapDecodingError = 84;
inline constexpr int kLdapTimeout = 85;
inline constexpr int kLdapAuthUnknown = 86;
inline constexpr int kLdapFilterError = 87;
inline constexpr int kLdapUserCancelled = 88;
inline constexpr int kLdapParamError = 89;
inline constexpr int kLdapNoMemory = 90;
inline constexpr int kLdapConnectError = 91;

// --- Protocol-operation tags (APPLICATION n) ---
inline constexpr uint32_t kLdapBindRequest = 0x60;
inline constexpr uint32_t kLdapBindResponse = 0x61;
inline constexpr uint32_t kLdapUnbindRequest = 0x42;
inline constexpr uint32_t kLdapSearchRequest = 0x63;
inline constexpr uint32_t kLdapSearchResultEntry = 0x64;
inline constexpr uint32_t kLdapSearchResultDone = 0x65;
inline constexpr uint32_t kLdapModifyRequest = 0x66;
inline constexpr uint32_t kLdapModifyResponse = 0x67;
inline constexpr uint32_t kLdapAddRequest = 0x68;
inline constexpr uint32_t kLdapAddResponse = 0x69;
inline constexpr uint32_t kLdapDelRequest = 0x4A;
inline constexpr uint32_t kLdapDelResponse = 0x6B;
inline constexpr uint32_t kLdapModifyRDNRequest = 0x6C;
inline constexpr uint32_t kLdapModifyRDNResponse = 0x6D;
inline constexpr uint32_t kLdapCompareRequest = 0x6E;
inline constexpr uint32_t kLdapCompareResponse = 0x6F;
inline constexpr uint32_t kLdapAbandonRequest = 0x50;
// Sent by version 3 servers only; a version 2 client meets it in a chain.
inline constexpr uint32_t kLdapSearchResultReference = 0x73;

// --- Filter choices (context-specific n) ---
inline constexpr uint32_t kFilterAnd = 0xA0;
inline constexpr uint32_t kFilterOr = 0xA1;
inline constexpr uint32_t kFilterNot = 0xA2;
inline constexpr uint32_t kFilterEquality = 0xA3;
inline constexpr uint32_t kFilterSubstrings = 0xA4;
inline constexpr uint32_t kFilterGE = 0xA5;
inline constexpr uint32_t kFilterLE = 0xA6;
inline constexpr uint32_t kFilterPresent = 0x87;
inline constexpr uint32_t kFilterApprox = 0xA8;

// --- Substring choices ---
inline constexpr uint32_t kSubstringInitial = 0x80;
inline constexpr uint32_t kSubstringAny = 0x81;
inline constexpr uint32_t kSubstringFinal = 0x82;

// --- Search scopes ---
inline constexpr int kLdapScopeBase = 0;
inline constexpr int kLdapScopeOneLevel = 1;
inline constexpr int kLdapScopeSubtree = 2;

// --- Alias dereferencing ---
inline constexpr int kLdapDerefNever = 0;
inline constexpr int kLdapDerefInSearching = 1;
inline constexpr int kLdapDerefFindingBaseObj = 2;
inline constexpr int kLdapDerefAlways = 3;

// --- Bind methods of version 2 (context-specific tags) ---
inline constexpr int kLdapVersion2 = 2;
inline constexpr int kLdapAuthSimple = 0x80;
inline constexpr int kLdapAuthKrbV41 = 0x81;
inline constexpr int kLdapAuthKrbV42 = 0x82;

// --- Modify operations ---
inline constexpr int kModAdd = 0;
inline constexpr int kModDelete = 1;
inline constexpr int kModReplace = 2;
// Flag of the client's modification records: values as length-and-bytes.
inline constexpr int kLdapModBinaryValues = 0x10;

// --- BER universal tags the messages use ---
inline constexpr uint32_t kTagBoolean = 1;
inline constexpr uint32_t kTagInteger = 2;
inline constexpr uint32_t kTagOctetString = 4;
inline constexpr uint32_t kTagNull = 5;
inline constexpr uint32_t kTagEnumerated = 10;
inline constexpr uint32_t kTagSequence = 0x30;
inline constexpr uint32_t kTagSet = 0x31;

#endif  // OSTRAK_NET_LDAP_PROTOCOL_H_
