// ostrakd: the directory key server.
#include "server/daemon.h"

int main(int argc, char** argv) { return vuzizMain(argc, argv); }
