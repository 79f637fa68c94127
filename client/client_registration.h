// Registration of the client services: installs the terminal dialogs that
// key submission asks for at start-up (keyservice/client_dialog_services.h).
// Called by ostrakWire().
#ifndef OSTRAK_CLIENT_CLIENT_REGISTRATION_H_
#define OSTRAK_CLIENT_CLIENT_REGISTRATION_H_

void qoxClientRegister();

#endif  // OSTRAK_CLIENT_CLIENT_REGISTRATION_H_
