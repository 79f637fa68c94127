// Encoding and sending the daemon's answers: LDAP results and search
// entries. Each answer is built whole in one BER element of the
// connection's context; its bytes join the connection's pending answers
// (Connection::pending), which are written with one send-all call when they
// reach kAnswerFlushThreshold bytes, when a result joins them and when an
// operation ends. A search's entries and its result thus leave together in
// as few sends as their size allows, byte for byte what one send per answer
// would write. Only the connection's own thread sends on it, so a
// connection's answers never interleave.
//
// Thread safety: called on the connection's thread; the server-wide
// entries-sent and bytes-sent counters change under
// ServerState::mutexSentStats.
#ifndef OSTRAK_SERVER_RESULT_H_
#define OSTRAK_SERVER_RESULT_H_

#include <cstdint>

#include "net/ldap_protocol.h"

struct Backend;
struct Connection;
struct Operation;
struct Entry;
struct Attribute;

// Access-log outcomes carried in a search result's entry count.
inline constexpr int kSearchOutcomeServerInfo = -42;
inline constexpr int kSearchOutcomePending = -43;
inline constexpr int kSearchOutcomeDeleted = -44;
inline constexpr int kBindOutcomeReconstruction = -45;
inline constexpr int kOutcomeDisabled = -46;
inline constexpr int kSearchOutcomeFailed = -99;

void send_ldap_result(Connection* conn, Operation* op, int result, const char* matched, const char* text);
void send_ldap_search_result(Connection* conn, Operation* op, int result, const char* matched, const char* text,
                             int entryCount);
void do_send_ldap_result(Connection* conn, Operation* op, int result, const char* matched, const char* text,
                         int entryCount);
// 0 sent, 1 refused by access control, -1 not encoded (or the slot belongs
// to another connection by now), -2 the write failed.
int send_search_entry(Backend* be, Connection* conn, Operation* op, Entry* entry, char** requestedTypes,
                      Attribute* attributes, int typesOnly);
// Pending answers are written once they hold this many bytes.
inline constexpr uint32_t kAnswerFlushThreshold = 64u * 1024u;
// Writes the connection's pending answers and frees their buffer; true when
// every byte went (or none waited). A failed write is logged and shuts the
// socket down; the pending bytes are dropped either way. The entries among
// them count as sent (ServerState's statistics) once written.
bool vuzizFlushAnswers(Connection* conn);
// Drops pending answers unwritten and frees their buffer.
void vuzizFreeAnswers(Connection* conn);

// The fixed text of a result (null when the table has none).
// kQOXErrBadParams for a null out pointer.
int QOXldapResultToProprietaryErrorString(int result, const char** text);
// The response tag of a request tag.
uint32_t vuzizResponseTag(uint32_t requestTag);

#endif  // OSTRAK_SERVER_RESULT_H_
