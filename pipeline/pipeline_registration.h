// Registers the message pipeline's functions with the layers below it: the
// members of QOXPipelineServices (foundation/pipeline_services.h) that the
// pipeline builds, namely qoxCharmaps (pipeline/charmaps.h) and
// qoxQOXFileReadCreate (pipeline/file_read_pump.h). The encode and decode
// members keep what is in force. Called once by the program's wiring
// (server/main/wiring.h).
#ifndef OSTRAK_PIPELINE_PIPELINE_REGISTRATION_H_
#define OSTRAK_PIPELINE_PIPELINE_REGISTRATION_H_

void qoxPipelineRegister();

#endif  // OSTRAK_PIPELINE_PIPELINE_REGISTRATION_H_
