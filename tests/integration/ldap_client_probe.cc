// Test probe: drives the toolkit's LDAP client (net/ldap_client.h) for the
// end-to-end tests, one command per line on standard input, one JSON line
// per command on standard output.
//
// Every argument is hex-encoded ("-" stands for a null pointer, "=" for an
// empty text), and so is every text in the answers, so filters with
// parentheses, backslashes and stars pass untouched.
//
//   open <hosts> <port>                     {"rc": n}
//   option <number> <value>                 {"rc": n}
//   bind <dn> <password>                    {"rc": n}          (QOXldapSimpleBindSync)
//   search <base> <scope> <filter> <types>  {"rc": n, "code": c, "entries": [...]}
//         types: comma-separated, or "-";   each entry {"dn": h, "attrs": [[type, [values]]]}
//   modify <dn> <type> <value>              {"rc": n}          (one replace)
//   add <dn> <type> <value> [<type> <value>...]  {"rc": n}  (QOXldapAddSync, one value per type)
//   delete <dn>                             {"rc": n}
//   modrdn <dn> <new rdn>                   {"rc": n}
//   compare <dn> <type> <value>             {"rc": n, "true": 0|1}
//   errno                                   {"code": c, "matched": h|null, "text": h|null}
//   unbind                                  {"rc": n}
//   tls <key file> <suite number>           {"rc": n, "suite": s}
//         binds option 4's socket to a new client session (QOXSocketsEstablishTLSSession,
//         which runs the handshake) with the suite preferred and, unless "-", the first
//         key of the (unprotected) key file as the client's key
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/memory_mgr.h"
#include "net/ldap_client.h"
#include "net/ldap_protocol.h"
#include "net/sockets.h"
#include "net/tls_key_work.h"
#include "net/tls_session.h"
#include "foundation/option_list.h"
#include "keydb/import_binary.h"
#include "keydb/key_db.h"
#include "server/main/wiring.h"

namespace {

std::string Hex(const char* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    auto c = static_cast<unsigned char>(p[i]);
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return "\"" + out + "\"";
}
std::string Hex(const char* s) { return s ? Hex(s, std::char_traits<char>::length(s)) : "null"; }

// An argument: "-" null, "=" empty, else hex.
struct Arg {
  bool null = false;
  std::string text;
  const char* c_str() const { return null ? nullptr : text.c_str(); }
};

Arg Decode(const std::string& word) {
  Arg a;
  if (word == "-") {
    a.null = true;
    return a;
  }
  if (word == "=") return a;
  for (size_t i = 0; i + 1 < word.size(); i += 2)
    a.text += static_cast<char>(std::strtol(word.substr(i, 2).c_str(), nullptr, 16));
  return a;
}

std::string Entries(QOXldapContext ld, QOXldapMessage* result) {
  std::string out = "[";
  QOXldapMessage* entry = nullptr;
  QOXldapFirstEntry(ld, result, &entry);
  bool firstEntry = true;
  for (; entry != nullptr; QOXldapNextEntry(ld, entry, &entry)) {
    if (entry->tag != kLdapSearchResultEntry) continue;
    char* dn = nullptr;
    if (QOXldapGetDN(ld, entry, &dn) != kQOXErrNoErr) continue;
    out += std::string(firstEntry ? "" : ", ") + "{\"dn\": " + Hex(dn) + ", \"attrs\": [";
    firstEntry = false;
    QOXFreeData(dn);
    QOXberElement* it = nullptr;
    char* type = nullptr;
    bool firstAttr = true;
    QOXError err = QOXldapFirstAttribute(ld, entry, &it, &type);
    while (err == kQOXErrNoErr && type != nullptr) {
      out += std::string(firstAttr ? "" : ", ") + "[" + Hex(type) + ", [";
      firstAttr = false;
      BerValue** values = nullptr;
      if (QOXldapGetValuesLen(ld, entry, type, &values) == kQOXErrNoErr) {
        for (BerValue** v = values; *v != nullptr; ++v)
          out += std::string(v == values ? "" : ", ") + Hex((*v)->bv_val, (*v)->bv_len);
        QOXFreeLDAPValuesLen(values);
      }
      out += "]]";
      QOXFreeData(type);
      type = nullptr;
      err = QOXldapNextAttribute(ld, entry, it, &type);
    }
    out += "]}";
  }
  return out + "]";
}

// The TLS objects of the probe's one secure connection, freed at exit.
struct Secure {
  QOXtlsContext* context = nullptr;
  QOXtlsSession* session = nullptr;
  QOXKeyDB* keys = nullptr;
  ~Secure() {
    if (session != nullptr) QOXFreeTLSSession(session);
    if (context != nullptr) QOXFreeTLSContext(context);
    if (keys != nullptr) QOXFreeKeyDB(keys);
  }
};
Secure* gSecure = nullptr;

std::string StartTLS(QOXContext* sdk, QOXldapContext ld, const Arg& keyFile, uint32_t suite) {
  auto answer = [](QOXError e, uint32_t number) {
    return "{\"rc\": " + std::to_string(e) + ", \"suite\": " + std::to_string(number) + "}";
  };
  int32_t socket = -1;
  QOXError e = QOXldapGetOption(ld, kQOXldapOptSocket, &socket);
  if (e == kQOXErrNoErr) e = QOXNewTLSContext(sdk, &gSecure->context);
  if (e == kQOXErrNoErr) e = QOXNewTLSSession(gSecure->context, &gSecure->session);
  if (e == kQOXErrNoErr) e = QOXtlsSetProtocolOptions(gSecure->session, kQOXtlsProtocolOption_ClientSide);
  if (e == kQOXErrNoErr) e = QOXtlsSetPreferredCipherSuite(gSecure->session, suite);
  if (e == kQOXErrNoErr && !keyFile.null) {
    std::ifstream in(keyFile.text, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    QOXKeyDBObj* key = nullptr;
    uint32_t count = 0;
    e = qoxImportKeyBinary(sdk, bytes.data(), bytes.size(), &gSecure->keys);
    if (e == kQOXErrNoErr) e = qoxTLSFirstKey(gSecure->keys, &key, &count);
    if (e == kQOXErrNoErr) e = QOXtlsSetLocalPrivateKey(gSecure->session, key, nullptr, kQOXNullOptionList);
  }
  if (e == kQOXErrNoErr) e = QOXSocketsEstablishTLSSession(socket, gSecure->session);
  uint32_t number = 0;
  if (e == kQOXErrNoErr) e = QOXtlsGetNegotiatedCipherSuite(gSecure->session, &number);
  return answer(e, number);
}

std::string Run(QOXContext* sdk, QOXldapContext ld, const std::vector<std::string>& w) {
  auto arg = [&](size_t i) { return i < w.size() ? Decode(w[i]) : Arg{true, {}}; };
  auto rc = [](QOXError e) { return "{\"rc\": " + std::to_string(e) + "}"; };
  const std::string& cmd = w[0];
  if (cmd == "open") return rc(QOXldapOpen(ld, arg(1).c_str(), static_cast<uint16_t>(std::stoi(w.at(2)))));
  if (cmd == "option") return rc(QOXldapSetOption(ld, std::stoi(w.at(1)), std::stoi(w.at(2))));
  if (cmd == "bind") return rc(QOXldapSimpleBindSync(ld, arg(1).c_str(), arg(2).c_str()));
  if (cmd == "search") {
    Arg types = arg(4);
    std::vector<std::string> names;
    std::vector<char*> vector;
    if (!types.null) {
      std::stringstream list(types.text);
      for (std::string n; std::getline(list, n, ',');) names.push_back(n);
      for (std::string& n : names) vector.push_back(n.data());
      vector.push_back(nullptr);
    }
    QOXldapMessage* result = nullptr;
    QOXNewLDAPMessage(ld, &result);
    Arg base = arg(1), filter = arg(3);
    QOXError e = QOXldapSearchSync(ld, base.c_str(), std::stoi(w.at(2)), filter.c_str(),
                                   types.null ? nullptr : vector.data(), 0, result);
    int32_t code = 0;
    QOXldapGetErrno(ld, nullptr, nullptr, &code);
    std::string out = "{\"rc\": " + std::to_string(e) + ", \"code\": " + std::to_string(code) +
                      ", \"entries\": " + Entries(ld, result) + "}";
    QOXFreeLDAPMessage(result);
    return out;
  }
  if (cmd == "add") {
    Arg dn = arg(1);
    std::vector<Arg> words;
    for (size_t i = 2; i < w.size(); ++i) words.push_back(Decode(w[i]));
    const size_t n = words.size() / 2;
    std::vector<std::array<char*, 2>> values(n);
    std::vector<QOXldapMod> mods(n);
    std::vector<QOXldapMod*> list;
    for (size_t i = 0; i < n; ++i) {
      values[i] = {words[2 * i + 1].text.data(), nullptr};
      mods[i] = QOXldapMod{kModAdd, words[2 * i].text.data(), values[i].data(), nullptr};
      list.push_back(&mods[i]);
    }
    list.push_back(nullptr);
    return rc(QOXldapAddSync(ld, dn.c_str(), list.data()));
  }
  if (cmd == "modify") {
    Arg dn = arg(1), type = arg(2), value = arg(3);
    char* values[] = {value.text.data(), nullptr};
    QOXldapMod mod{kModReplace, type.text.data(), values, nullptr};
    QOXldapMod* mods[] = {&mod, nullptr};
    return rc(QOXldapModifySync(ld, dn.c_str(), mods));
  }
  if (cmd == "delete") return rc(QOXldapDeleteSync(ld, arg(1).c_str()));
  if (cmd == "modrdn") return rc(QOXldapModifyRDNSync(ld, arg(1).c_str(), arg(2).c_str(), 1));
  if (cmd == "compare") {
    uint8_t yes = 0;
    QOXError e = QOXldapCompareSync(ld, arg(1).c_str(), arg(2).c_str(), arg(3).c_str(), &yes);
    return "{\"rc\": " + std::to_string(e) + ", \"true\": " + std::to_string(yes) + "}";
  }
  if (cmd == "errno") {
    char* matched = nullptr;
    char* text = nullptr;
    int32_t code = 0;
    QOXldapGetErrno(ld, &matched, &text, &code);
    return "{\"code\": " + std::to_string(code) + ", \"matched\": " + Hex(matched) + ", \"text\": " +
           Hex(text) + "}";
  }
  if (cmd == "unbind") return rc(QOXldapUnbind(ld));
  if (cmd == "tls") return StartTLS(sdk, ld, arg(1), static_cast<uint32_t>(std::stoi(w.at(2))));
  return "{\"error\": \"unknown command\"}";
}

}  // namespace

int main() {
  ostrakWire();
  QOXContext* sdk = nullptr;
  QOXldapContext ld = nullptr;
  if (QOXsdkInit(kQOXsdkInitNoBackEnd) != kQOXErrNoErr || QOXNewContext(kQOXAPIVersion, &sdk) != kQOXErrNoErr ||
      QOXNewLDAPContext(sdk, &ld) != kQOXErrNoErr) {
    std::fprintf(stderr, "cannot start the toolkit\n");
    return 1;
  }
  {
    // The LDAP context closes its socket (dropping the binding) before the
    // session goes.
    Secure secure;
    gSecure = &secure;
    for (std::string line; std::getline(std::cin, line);) {
      std::vector<std::string> words;
      std::stringstream in(line);
      for (std::string w; in >> w;) words.push_back(w);
      if (words.empty()) continue;
      std::cout << Run(sdk, ld, words) << std::endl;
    }
    QOXFreeLDAPContext(ld);
  }
  QOXFreeContext(sdk);
  QOXsdkCleanup();
  return 0;
}
