#include "net/ldap_result.h"

#include <array>
#include <cstddef>

#include "foundation/errors.h"
#include "foundation/sdk_errors.h"

namespace {

struct ResultRow {
  int32_t ldap;
  int32_t code;
};

// The LDAP results that carry meaning for a caller, in protocol order; each
// maps to its own toolkit code, one apart from -10950 down to -10909.
constexpr int32_t kMappedResults[] = {
    1,  2,  3,  4,                       // operations, protocol, time and size limits
    7,  8,  9,                           // auth method, strong auth, partial results
    16, 17, 18, 19, 20, 21,              // attribute problems
    32, 33, 34, 35, 36,                  // name problems
    48, 49, 50, 51, 52, 53, 54,          // security and service problems
    64, 65, 66, 67, 68, 69, 70,          // update problems
    80, 81, 82, 83, 84, 85, 86, 87, 88, 89,  // other and client-side results
};

constexpr int32_t kFirstMappedCode = kQOXErrLDAPOperationsError;
constexpr int32_t kOtherCode = kQOXErrLDAPOther;  // the code of result 80

constexpr auto kResultTable = [] {
  std::array<ResultRow, 3 + std::size(kMappedResults) + 2> t{};
  std::size_t n = 0;
  for (int32_t ok : {0, 5, 6}) t[n++] = {ok, 0};
  int32_t code = kFirstMappedCode;
  for (int32_t r : kMappedResults) t[n++] = {r, code++};
  t[n++] = {90, kQOXErrOutOfMemory};
  t[n++] = {91, kQOXErrLDAPConnectError};
  return t;
}();

static_assert(kResultTable.size() == 47);
static_assert(kResultTable[3 + 32].ldap == 80 && kResultTable[3 + 32].code == kOtherCode);
static_assert(kResultTable[3 + 41].ldap == 89 && kResultTable[3 + 41].code == kQOXErrLDAPParamError);

}  // namespace

int32_t QOXldapResultToError(QOXldapContext, int32_t ldap_result) {
  for (const ResultRow& row : kResultTable)
    if (row.ldap == ldap_result) return row.code;
  return kOtherCode;
}
