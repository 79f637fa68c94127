// X.509 input of the decode operation (input formats above 9999): the input
// read whole, PEM framing removed for formats 10006 to 10011, and each DER
// SEQUENCE of formats 10000 to 10005 (else the whole input) handed to the
// X.509 key bridge (keydb/x509_services.h: X509InputCertificate). The
// certificates and CRLs found are imported into option 33's database, a
// signature found is reported in a Signature event, and the DER of the CRLs,
// else of the certificates, goes to the output the options name. One
// section of kind 5 (BeginLex, Analyze, EndLex).
//
// A SEQUENCE size of 0 or less, or one that runs past the input, ends the
// rounds with kQOXX509ErrCodec.
#ifndef OSTRAK_PIPELINE_DECODE_X509_H_
#define OSTRAK_PIPELINE_DECODE_X509_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/events.h"
#include "foundation/option_list.h"

struct QOXContext;
struct QOXKeyDB;

inline constexpr int32_t kQOXInputFormatX509DERFirst = 10000;
inline constexpr int32_t kQOXInputFormatX509DERLast = 10005;
inline constexpr int32_t kQOXInputFormatX509PEMFirst = 10006;
inline constexpr int32_t kQOXInputFormatX509PEMLast = 10011;

// keyDB: the job's key database (option 43), may be null. The passphrase
// (or passkey) goes to the bridge as a one-option list.
QOXError qoxDecodeX509Input(QOXContext* context, QOXOptionListRef options, int32_t format,
                            QOXEventHandlerProcPtr handler, void* handlerArg, QOXKeyDB* keyDB,
                            const char* passphrase, size_t passphraseLength, bool passkey);

#endif  // OSTRAK_PIPELINE_DECODE_X509_H_
