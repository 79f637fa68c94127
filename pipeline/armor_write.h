// The ASCII armor writer ("ASCII Armor Write Module"): binary RFC 2440 data
// in, armored text out.
//
// Output forms:
//   - an armored block (RFC 2440 section 6.2): header line, armor headers
//     (Version, MessageID, Comment, Charset), Base64 body in lines of 64
//     characters, the CRC-24 line and the tail line; split into numbered
//     parts ("PART 01/02") when environment integer 1001 sets lines per part;
//   - inside the RFC 3156 multipart/encrypted MIME form (environment integer
//     1022, kind 0);
//   - a PEM block ("-----BEGIN CERTIFICATE-----") after kQOXAnnPEMCertificate,
//     kQOXAnnPEMCertRequest or kQOXAnnPEMPrivateKey;
//   - clear-signed text (RFC 2440 section 7) joined with its signature block
//     (qoxArmorWriteCreateClearsig), or the RFC 3156 multipart/signed form
//     (qoxArmorWriteCreateQOXMimesig).
// The block type follows from the data's first packet (tag 6 "PUBLIC KEY
// BLOCK", tag 5 "PRIVATE KEY BLOCK", else "MESSAGE"); a leading marker
// packet is skipped for that. The header is written with the first body
// line (or at the end, for empty data), the footer at the end of the data
// (sizeAdvise 0 outside any scope), after which the tail hears the end.
//
// Forms 0-3 hold all data until its size is known, so every part header
// carries the total; forms above 3 write as data comes, holding only what
// tells whether the part being started is the last, and give the total on
// the last part alone. Environment integer 1041 set writes "Mime-Version:
// 1.0" in the MIME forms.
//
// Ownership: the writer copies what it reads from the environment; the
// strings, FIFOs and state are freed (and wiped) at teardown. Threads: one
// job at a time; crcUpdate and armorLine are pure.
#ifndef OSTRAK_PIPELINE_ARMOR_WRITE_H_
#define OSTRAK_PIPELINE_ARMOR_WRITE_H_

#include <cstddef>
#include <cstdint>

#include "pipeline/fifo.h"
#include "pipeline/pipeline.h"

struct QOXEnv;
struct QOXRandomContext;

// Kinds of qoxArmorWriteCreate.
inline constexpr uint32_t kQOXArmorKindBlock = 0;      // type from the data, or MIME encrypted
inline constexpr uint32_t kQOXArmorKindSignature = 1;  // "SIGNATURE"
inline constexpr uint32_t kQOXArmorKindMessage = 2;    // "MESSAGE"

// The armor form the output set-up passes.
inline constexpr uint32_t kQOXArmorFormDefault = 3;

// The writer placed at *slot (its tail: what the slot held); returns its
// tail slot, or null for another kind or when memory runs out.
QOXPipeline** qoxArmorWriteCreate(QOXContext* context, QOXPipeline** slot, QOXEnv* env,
                                  const QOXFifoDesc* fifoDesc, bool wantMessageID, uint32_t form,
                                  uint32_t kind);

// Clear-signed output: *textSlot gets the text writer (signed text goes in
// there) and *sigSlot the signature writer (the signature packets go in
// there); their outputs are joined, text first, the signature behind a
// "\n". Returns the join's output slot (its tail: what *textSlot held), or
// null with every module made torn down and both slots as they were.
QOXPipeline** qoxArmorWriteCreateClearsig(QOXPipeline** textSlot, QOXPipeline** sigSlot, QOXEnv* env,
                                          const QOXFifoDesc* fifoDesc, uint32_t form, const uint8_t* hashes,
                                          size_t hashCount);

// RFC 3156 multipart/signed output. *textSlot gets a split whose first tail
// is what *textSlot held (the caller's signing chain, which sees the text
// and its annotations) and whose second tail is the MIME text writer;
// *sigSlot gets the signature writer ("MESSAGE" block). The two writers are
// joined, text first; returns the join's output slot, or null as above.
// The boundary's 6 random bytes come from random.
QOXPipeline** qoxArmorWriteCreateQOXMimesig(QOXPipeline** textSlot, QOXPipeline** sigSlot, QOXEnv* env,
                                            const QOXFifoDesc* fifoDesc, QOXRandomContext* random,
                                            uint32_t form, const uint8_t* hashes, size_t hashCount);

// Base64 of up to 48 bytes into output (room for 64 characters); returns
// the characters written before any '=' padding.
size_t armorLine(const uint8_t* bytes, size_t length, char* output);

#endif  // OSTRAK_PIPELINE_ARMOR_WRITE_H_
