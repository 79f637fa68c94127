// Registers the functions of the toolkit's entry-point layer with the layers
// below it: emptying a context's passphrase cache when the context is freed
// (foundation/passphrase_cache_services.h). Called once by the program's
// wiring (server/main/wiring.h) before the toolkit starts.
#ifndef OSTRAK_FOUNDATION_SDK_SDK_REGISTRATION_H_
#define OSTRAK_FOUNDATION_SDK_SDK_REGISTRATION_H_

void qoxSDKRegister();

#endif  // OSTRAK_FOUNDATION_SDK_SDK_REGISTRATION_H_
