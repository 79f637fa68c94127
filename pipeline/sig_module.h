// The signature module ("Signature"): makes an RFC 2440 signed message from
// the data that passes through it.
//
// The data goes on through one hash module per distinct hash of the signers
// and a copy module, behind which the caller builds the rest of the data's
// chain (a literal module, usually). The packets of the signature travel
// through a join module: for version 4 the one-pass signature packets
// (one per signer, in the order of the sigSpec chain, the last one flagged)
// first, then the signed data through the join input that
// qoxSigTextInsert makes, then the signature packets, newest signer first,
// so they close the one-pass packets in reverse order. For version 3 the one
// signature packet comes before the data, which waits in the join's FIFO
// until the end of the data (size advice 0) has let the packet be made.
// Without qoxSigTextInsert (detached and clear-signed messages) the join
// carries only the signature packets and the data's chain ends elsewhere.
//
// Packets: version 4 and above 0xC2 with a new-format length; version 3 and
// below 0x89 with a two-byte length. The nested flag of qoxSigSignature
// leaves the one-pass packets out.
//
// Ownership: the module owns its hashes and signer entries; the sigSpecs stay
// with the caller until the module is torn down. Teardown tears down the
// data's chain and the join's signature input (the join goes with its last
// input). Threads: one chain, one thread at a time.
#ifndef OSTRAK_PIPELINE_SIG_MODULE_H_
#define OSTRAK_PIPELINE_SIG_MODULE_H_

#include <cstdint>

#include "pipeline/fifo.h"
#include "pipeline/pipeline.h"

struct QOXSigSpec;

// A signature module at *slot; returns the copy module's tail slot, where
// the caller goes on building the data's chain, or null (null slot or FIFO
// descriptor, memory).
QOXPipeline** qoxSigCreate(QOXContext* context, QOXPipeline** slot, uint32_t version, const QOXFifoDesc* fifoDesc);
// Adds the signers: every sigSpec of the chain for a version above 3, only the
// first for version 3 and below. Returns the join's next slot (where the
// caller builds the chain that takes the message) or null (a bad module or
// sigSpec, a sigSpec of unknown hash, memory, a one-pass packet that cannot be
// made).
QOXPipeline** qoxSigSignature(QOXPipeline* module, const QOXSigSpec* sigSpecs, bool nested);
// Makes the join input that takes the signed data and stores it in *slot
// (the data's chain ends in it); returns the join's next slot, or null.
QOXPipeline** qoxSigTextInsert(QOXPipeline* module, QOXPipeline** slot);

#endif  // OSTRAK_PIPELINE_SIG_MODULE_H_
