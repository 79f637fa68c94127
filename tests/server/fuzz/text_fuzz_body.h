// Fuzz steps for the server's text parsers of outside bytes, shared by the
// libFuzzer targets (dn_fuzz.cc, entry_text_fuzz.cc, console_fuzz.cc) and
// the mutation test:
//   DN: the input's first line is a DN, the rest a second one; both are
//     normalised (which must be idempotent), compared as suffixes, walked up
//     to their parents, escaped, and read for a key ID;
//   entry text: the input is parsed as an entry's text form; an entry that
//     parses is written back and must parse again to the same DN and
//     values;
//   console: the input is a console request, parsed line by line as the
//     control thread parses it.
// A broken property stops the process (__builtin_trap), so the fuzzer
// reports it as it reports a crash.
#ifndef OSTRAK_TESTS_SERVER_FUZZ_TEXT_FUZZ_BODY_H_
#define OSTRAK_TESTS_SERVER_FUZZ_TEXT_FUZZ_BODY_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "backend/ldbm_ops.h"
#include "foundation/core/start_up.h"
#include "server/control_channel.h"
#include "server/dn.h"
#include "server/entry.h"
#include "server/error_log.h"
#include "server/main/wiring.h"
#include "server/support/zovurez.h"

namespace text_fuzz {

inline void Start() {
  static bool started = [] {
    ostrakWire();
    QOXsdkInit(kQOXsdkInitNoBackEnd);
    ErrorLogInit("fuzz", kLogError * 2, 0, 1, nullptr);  // above every level: nothing is written
    return true;
  }();
  (void)started;
}

// The input as a NUL-terminated text of its own (cut at a NUL, as the
// callers hand these parsers C strings).
inline std::string Text(const uint8_t* data, size_t size) {
  std::string s(reinterpret_cast<const char*>(data), size);
  return s.substr(0, strlen(s.c_str()));
}

inline void Check(bool property) {
  if (!property) __builtin_trap();
}

inline std::string Normalised(const std::string& dn, bool upperCase) {
  std::string copy = dn;
  if (upperCase)
    dn_normalize_case(copy.data());
  else
    dn_normalize(copy.data());
  return copy.c_str();
}

inline void RunDN(const uint8_t* data, size_t size) {
  Start();
  const std::string text = Text(data, size);
  const size_t newline = text.find('\n');
  const std::string a = text.substr(0, newline);
  const std::string b = newline == std::string::npos ? std::string() : text.substr(newline + 1);
  for (bool upper : {false, true}) {
    const std::string once = Normalised(a, upper);
    Check(once.size() <= a.size());
    Check(Normalised(once, upper) == once);
  }
  const std::string na = Normalised(a, true), nb = Normalised(b, true);
  (void)dn_issuffix(na.c_str(), nb.c_str());
  (void)dn_type(a.c_str());
  // Up the tree to the top: each parent is shorter than its child.
  char* parent = dn_parent(a.c_str(), kKeySpaceDN);
  size_t last = a.size();
  while (parent != nullptr) {
    Check(strlen(parent) < last);
    last = strlen(parent);
    char* next = dn_parent(parent, kKeySpaceDN);
    zovurezFree(parent);
    parent = next;
  }
  char* escaped = nullptr;
  size_t escapedLength = 0;
  if (EscapeDNString(a.c_str(), &escaped, &escapedLength) == 0) {
    Check(strlen(escaped) == escapedLength);
    zovurezFree(escaped);
  }
  char* keyID = nullptr;
  if (ExtractKeyIDFromDN(a.c_str(), &keyID) == 0) zovurezFree(keyID);
  char* keyDN = nullptr;
  if (CreateKeyDN("QOXCERTID", b.c_str(), kKeySpaceDN, &keyDN) == 0) zovurezFree(keyDN);
}

// The DN and the type and counted values of each attribute, in order.
inline std::string Describe(const Entry* e) {
  std::string s = e->e_dn != nullptr ? e->e_dn : "";
  for (const Attribute* a = e->e_attrs; a != nullptr; a = a->a_next) {
    s += "|" + std::string(a->a_type);
    for (BerValue** v = a->a_vals; v != nullptr && *v != nullptr; ++v)
      s += "=" + std::to_string((*v)->bv_len) + ":" + std::string((*v)->bv_val, (*v)->bv_len);
  }
  return s;
}

inline void RunEntryText(const uint8_t* data, size_t size) {
  Start();
  std::string text = Text(data, size);
  Entry* e = str2entry(text.data());
  if (e == nullptr) return;
  EntryTextBuffer buffer;
  int length = 0;
  if (char* written = entry2str(e, &buffer, &length, 1)) {
    Check(static_cast<size_t>(length) == strlen(written));
    std::string again(written, static_cast<size_t>(length));
    Entry* back = str2entry(again.data());
    Check(back != nullptr);
    if (back != nullptr) {
      Check(Describe(back) == Describe(e));
      entry_free(back);
    }
  }
  entry_free(e);
}

inline void RunConsole(const uint8_t* data, size_t size) {
  Start();
  const std::string text = Text(data, size);
  ConsoleRequest request{};
  request.replyFd = -1;
  (void)ParseData(text.c_str(), &request);
  Check(request.pageSize >= 0 && request.position >= 0);
  Check(strnlen(request.replyName, sizeof request.replyName) < sizeof request.replyName);
  // Each line on its own, as ReadCommand hands them over.
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at + 1);
    ConsoleRequest one{};
    int command = 0;
    (void)ParseInternal(line.c_str(), &one, &command);
    at = end == std::string::npos ? text.size() : end + 1;
  }
}

}  // namespace text_fuzz

#endif  // OSTRAK_TESTS_SERVER_FUZZ_TEXT_FUZZ_BODY_H_
