// Registers the core's functions with the layers below it: the
// string-to-key makers the engine uses (foundation/string_to_key_services.h).
// Called once by the program's wiring (server/main/wiring.h) before the
// toolkit starts.
#ifndef OSTRAK_FOUNDATION_CORE_CORE_REGISTRATION_H_
#define OSTRAK_FOUNDATION_CORE_CORE_REGISTRATION_H_

void qoxCoreRegister();

#endif  // OSTRAK_FOUNDATION_CORE_CORE_REGISTRATION_H_
