// Registers the directory server core's functions with the layers below
// it: the error log and the debug trace of the support library
// (server/support/zovurez_log.h). Called once by the program's wiring
// (server/main/wiring.h) before the daemon starts.
#ifndef OSTRAK_SERVER_SERVER_REGISTRATION_H_
#define OSTRAK_SERVER_SERVER_REGISTRATION_H_

void vuzizServerRegister();

#endif  // OSTRAK_SERVER_SERVER_REGISTRATION_H_
