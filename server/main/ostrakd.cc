// ostrakd: the directory key server.
#include "server/daemon.h"
#include "server/main/wiring.h"

int main(int argc, char** argv) {
  ostrakWire();
  return vuzizMain(argc, argv);
}
