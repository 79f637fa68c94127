// ostrakd: the directory key server. The one place that knows every layer:
// it registers the "ldbm" backend with the server core, then runs the core.
#include "backend/ldbm_register.h"
#include "server/daemon.h"

int main(int argc, char** argv) {
  ldbm_register();
  return vuzizMain(argc, argv);
}
