// ostrakd: the directory key server. Wires the libraries together
// (server/main/wiring.h), then runs the server core.
#include "server/daemon.h"
#include "server/main/wiring.h"

int main(int argc, char** argv) {
  ostrakWire();
  return vuzizMain(argc, argv);
}
