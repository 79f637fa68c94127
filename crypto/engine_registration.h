// Registers the engine's functions with the layers below it: the random
// pool and CFB calls of the context record and file objects
// (foundation/engine_services.h). Called once by the program's wiring
// (server/main/wiring.h) before the toolkit starts.
#ifndef OSTRAK_CRYPTO_ENGINE_REGISTRATION_H_
#define OSTRAK_CRYPTO_ENGINE_REGISTRATION_H_

void qoxEngineRegister();

#endif  // OSTRAK_CRYPTO_ENGINE_REGISTRATION_H_
