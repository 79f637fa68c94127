// Registers the key database's functions with the layers below it: the
// members of the key-database table (foundation/keydb_services.h) that are
// built, namely the validity tests, reference counts, the object's context
// and kind, key sets and their database, key IDs, the key-ID text of a
// client's TLS key, the numeric and boolean object properties (with the
// internal numeric key getter of signature specifications), the key an
// object belongs to, and the back-end updates the entry gate takes in
// (keydb/front_end.h); and trust propagation (QOXCalculateTrust) in the
// table of signature checking (keydb/sig_check_services.h). The other
// members keep what is in force (the stand-ins). Called once by the program's
// wiring (server/main/wiring.h), after the foundation's own registrations.
#ifndef OSTRAK_KEYDB_KEYDB_REGISTRATION_H_
#define OSTRAK_KEYDB_KEYDB_REGISTRATION_H_

void qoxKeyDBRegister();

#endif  // OSTRAK_KEYDB_KEYDB_REGISTRATION_H_
