// Key merge and entry building.
#include "keyservice/key_entries.h"

#include "net/ldap_protocol.h"
#include "server/error_log.h"

int CreateAddKeyEntries(Entry***, int*, int*, Backend*, Attribute*, const uint8_t*, size_t, bool, Connection*,
                        Operation*, char certID[17], bool* active, const char** message) {
  if (certID != nullptr) certID[0] = '\0';
  if (active != nullptr) *active = false;
  if (message != nullptr) *message = "Function not implemented";
  LogError(kLogError, "Key submissions are not accepted by this server.");
  return kLdapUnwillingToPerform;
}

int RemoveKeyFromPending(Backend*, const char*) { return 0; }
