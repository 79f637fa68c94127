// The one place that knows every library: ostrakWire registers each higher
// layer's functions with the tables of the layers below it
// (foundation/service_table.h), from the ground up. A table nobody
// registers keeps its stand-ins.
//
// Thread safety: call once, first thing in main (ostrakd and every test
// program), before any other thread runs.
#ifndef OSTRAK_SERVER_MAIN_WIRING_H_
#define OSTRAK_SERVER_MAIN_WIRING_H_

void ostrakWire();

#endif  // OSTRAK_SERVER_MAIN_WIRING_H_
