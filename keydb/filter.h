// Key filters: QOXFilter is a reference-counted predicate over key database
// objects: one object property (keydb/obj_properties.h) tested against a
// value with a match criterion, or NOT, AND and OR over other filters.
// Filters narrow key sets (QOXFilterKeySet, keydb/key_set_filter.h) and are
// written as the search strings of the key-server clients
// (keydb/filter_query.cc): an LDAP filter over the key server's attributes,
// an LDAP filter for an X.509 directory, the query of an HTTP key server and
// that of a certificate authority's HTTP interface.
//
// The kind of a property filter follows from the property number (below 500
// key, 500-899 subkey, 900-1299 user ID, 1300 and up signature) and its
// value (data, number, time, boolean).
//
// Matching a key-level filter against any object of a key tests the key.
// Subkey, user-ID and signature filters match a key when one real object of
// their level below it matches (signatures: those below the key's real
// children). With the child-objects flag set, an object at or below the
// filter's level is tested by itself; with it clear, every sub-object
// matches exactly when its key does.
//
// Cache. Each filter remembers the last key it was evaluated on and the
// result, keyed by the key and its database's change stamp
// (keydb/key_db.h), so that walking a key and then its sub-objects costs
// one evaluation per key, and a changed key, or a new key made at a freed
// key's address, is evaluated afresh.
//
// Ownership. A filter lives in its context's memory, made with one
// reference. The combinators (QOXNegateFilter, QOXIntersectFilters,
// QOXUnionFilters) take over the caller's references to the filters they
// combine; the last release of a filter frees its value copy and releases
// its children, so a tree of filters is freed from its root. A freed
// filter's magic is inverted.
//
// Thread safety: none. Matching writes the cache, so a filter is used by one
// thread at a time (its context's).
#ifndef OSTRAK_KEYDB_FILTER_H_
#define OSTRAK_KEYDB_FILTER_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/sdk_time.h"

struct QOXContext;
struct QOXKeyDBObj;

// Match criteria.
enum QOXMatchCriterion : uint32_t {
  kQOXMatchCriterion_Equal = 1,
  kQOXMatchCriterion_GreaterOrEqual = 2,
  kQOXMatchCriterion_LessOrEqual = 3,
  kQOXMatchCriterion_SubString = 4,
};

// Filter types.
enum QOXFilterType : uint32_t {
  kQOXFilterType_Not = 25,
  kQOXFilterType_And = 26,
  kQOXFilterType_Or = 27,
  kQOXFilterType_KeyData = 50,
  kQOXFilterType_KeyNumber = 51,
  kQOXFilterType_KeyTime = 52,
  kQOXFilterType_KeyBoolean = 53,
  kQOXFilterType_UserIDData = 54,
  kQOXFilterType_UserIDNumber = 55,
  kQOXFilterType_UserIDTime = 56,
  kQOXFilterType_UserIDBoolean = 57,
  kQOXFilterType_SigData = 58,
  kQOXFilterType_SigNumber = 59,
  kQOXFilterType_SigTime = 60,
  kQOXFilterType_SigBoolean = 61,
  kQOXFilterType_SubKeyData = 62,
  kQOXFilterType_SubKeyNumber = 63,
  kQOXFilterType_SubKeyTime = 64,
  kQOXFilterType_SubKeyBoolean = 65,
};

struct QOXFilter {
  uint8_t magic[4];  // "FILT"; each byte inverted when the filter is freed
  QOXContext* context;
  int32_t refCount;     // starts at 1
  uint32_t criterion;   // QOXMatchCriterion; Equal for NOT, AND, OR and booleans
  uint32_t filterType;  // QOXFilterType
  bool childObjects;    // sub-objects are tested by themselves
  QOXKeyDBObj* cachedKey;   // the last key evaluated
  uint64_t cachedStamp;     //   its database's change stamp then
  bool cachedResult;        //   and the result
  // First value: the property number, or the (first) child.
  int32_t property;
  QOXFilter* first;
  // Second value, by kind: the filter's own copy of the value bytes, the
  // number, the time, the boolean; AND and OR: the second child.
  uint8_t* data;
  uint32_t dataLength;
  uint32_t number;
  QOXTime time;
  bool boolean;
  QOXFilter* second;
};

// --- Public calls ---

// Property filters. kQOXErrBadParams for no out-parameter (else cleared), an
// invalid context, or value bytes missing for a length; the gate's error;
// kQOXErrOutOfMemory. The value bytes are copied. For the key-ID properties
// (402, 801, 1600) the value is a QOXKeyID.
QOXError QOXNewKeyDBObjDataFilter(QOXContext* context, int32_t property, const void* value, size_t length,
                                  uint32_t criterion, QOXFilter** outFilter);
QOXError QOXNewKeyDBObjNumericFilter(QOXContext* context, int32_t property, uint32_t number, uint32_t criterion,
                                     QOXFilter** outFilter);
QOXError QOXNewKeyDBObjTimeFilter(QOXContext* context, int32_t property, QOXTime time, uint32_t criterion,
                                  QOXFilter** outFilter);
// Criterion Equal.
QOXError QOXNewKeyDBObjBooleanFilter(QOXContext* context, int32_t property, bool value, QOXFilter** outFilter);

// Combinators: the out-parameter is cleared first; a gate error is returned
// before anything else and releases nothing; no out-parameter or an invalid
// filter is kQOXErrBadParams; every failure after the gate (kQOXErrBadParams,
// kQOXErrOutOfMemory) releases each valid filter given. The new filter lives
// in the (first) filter's context and takes over the given references.
QOXError QOXNegateFilter(QOXFilter* filter, QOXFilter** outFilter);
QOXError QOXIntersectFilters(QOXFilter* a, QOXFilter* b, QOXFilter** outFilter);
QOXError QOXUnionFilters(QOXFilter* a, QOXFilter* b, QOXFilter** outFilter);

// kQOXErrBadParams for an invalid filter.
QOXError QOXIncFilterRefCount(QOXFilter* filter);
// Drops one reference (after the gate); the last frees the filter.
QOXError QOXFreeFilter(QOXFilter* filter);
QOXError QOXFilterChildObjects(QOXFilter* filter, bool flag);
// Not null and the magic is "FILT".
bool QOXFilterIsValid(const void* pointer);

// The query strings (keydb/filter_query.cc). Each returns a new data block
// of the context's memory manager (freed with QOXFreeData) holding the text
// and a zero byte; kQOXErrBadParams for no out-parameter (else cleared) or an
// invalid filter; the gate's error; the builders' errors
// (kQOXErrUnsupportedFilterType, kQOXErrInvalidFilterParameter,
// kQOXErrUnknownFilterType, kQOXErrSearchUnavailableHTTP,
// kQOXErrSearchUnavailableLDAP, kQOXErrOutOfMemory) with nothing out.
//
// The key server's LDAP filter, wrapped as "(&...(qoxDisabled=0))" unless
// the filter tests the disabled flag anywhere. Times are written in UTC.
QOXError QOXLDAPQueryFromFilter(QOXFilter* filter, char** outText);
// The X.509 directory's LDAP filter (cn clauses), never wrapped.
QOXError QOXLDAPX509QueryFromFilter(QOXFilter* filter, char** outText);
// "exact=off&search=" and one search term.
QOXError QOXHKSQueryFromFilter(QOXFilter* filter, char** outText);
// "md5=" or "cnk=" and the digest in upper-case hexadecimal.
QOXError QOXCorvixCAHTTPQueryFromFilter(QOXFilter* filter, char** outText);

// --- Internal calls ---

bool qoxFilterIsValid(const QOXFilter* filter);
// Adds one reference (no checks).
void qoxIncFilterRefCount(QOXFilter* filter);
// Drops one reference without the gate; the last frees the filter.
void qoxFreeFilter(QOXFilter* filter);
// False for an invalid filter or object.
bool qoxKeyDBObjMatchesFilter(QOXFilter* filter, QOXKeyDBObj* object);

#endif  // OSTRAK_KEYDB_FILTER_H_
