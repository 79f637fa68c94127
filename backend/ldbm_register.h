// Registration of the "ldbm" backend with the server core.
//
// The core (server/) sits below the backend and never calls it by name:
// ldbm_register hands it the backend's typed entry points and its start-up
// storage calls (server/backend.h), after which new_backend("ldbm") makes
// working records. Call it once at start-up, before the first backend is
// made: ostrakd's main does, and so does each test program that makes an
// "ldbm" backend through the core. Calling it again changes nothing.
#ifndef OSTRAK_BACKEND_LDBM_REGISTER_H_
#define OSTRAK_BACKEND_LDBM_REGISTER_H_

void ldbm_register();

#endif  // OSTRAK_BACKEND_LDBM_REGISTER_H_
