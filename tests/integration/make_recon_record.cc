// Makes a key-reconstruction record with the toolkit's secret sharing and
// CAST5-CBC, for the end-to-end bind tests.
//
// Usage: make_recon_record <key ID, 16 hex digits> <pattern>...
// Prints the record in hex on the first line, then for each pattern the
// bind password it gives: a pattern is five characters, a digit d stands
// for the right answer of share d, "w" for a wrong answer.
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "crypto/cbc.h"
#include "crypto/cipher.h"
#include "crypto/secret_share.h"
#include "foundation/armor_base64.h"
#include "foundation/byte_order.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/keydb_services.h"
#include "keydb/key_id.h"
#include "keyservice/reconstruction.h"
#include "server/main/wiring.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool Encrypt(QOXContext* context, const Bytes& key, const Bytes& plain, Bytes* out) {
  QOXSymmetricCipherContext* cipher = nullptr;
  if (QOXNewSymmetricCipherContext(context, kQOXCipherAlgorithm_CAST5, &cipher) != kQOXErrNoErr) return false;
  QOXCBCContext* cbc = nullptr;
  if (QOXNewCBCContext(cipher, &cbc) != kQOXErrNoErr) return false;
  uint8_t iv[8] = {};
  out->assign(plain.size(), 0);
  bool ok = QOXInitCBC(cbc, key.data(), iv) == kQOXErrNoErr &&
            QOXCBCEncrypt(cbc, plain.data(), plain.size(), out->data()) == kQOXErrNoErr;
  QOXFreeCBCContext(cbc);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || strlen(argv[1]) != 16) {
    std::fprintf(stderr, "usage: %s <key ID> <pattern>...\n", argv[0]);
    return 2;
  }
  ostrakWire();
  if (QOXsdkInit(kQOXsdkInitNoBackEnd) != kQOXErrNoErr) return 1;
  QOXContext* context = nullptr;
  if (QOXNewContext(kQOXAPIVersion, &context) != kQOXErrNoErr) return 1;

  std::random_device device;
  std::mt19937 rng(device());
  auto Random = [&](size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
  };
  Bytes answers[5];
  for (auto& a : answers) a = Random(16);
  Bytes secret = Random(16);

  QOXKeyID keyID{};
  std::string text = std::string("0x") + argv[1];
  if (QOXNewKeyIDFromString(text.c_str(), kQOXKeyIDAnyAlgorithm, &keyID) != kQOXErrNoErr) return 1;
  Bytes record(kReconDataOffset, 0);
  memcpy(record.data(), &keyID, sizeof keyID);
  Bytes shares(5 * 20);
  if (QOXSecretShareData(context, secret.data(), 16, 3, 5, shares.data()) != kQOXErrNoErr) return 1;
  for (size_t s = 0; s < 5; ++s) {
    Bytes share(shares.begin() + s * 20, shares.begin() + (s + 1) * 20);
    share.resize(24, 0);
    Bytes sealed;
    if (!Encrypt(context, answers[s], share, &sealed)) return 1;
    memcpy(record.data() + kReconSharesOffset + s * 24, sealed.data(), 24);
  }
  Bytes data(40, 0);
  memcpy(data.data(), &keyID, sizeof keyID);
  Bytes sealed;
  if (!Encrypt(context, secret, data, &sealed)) return 1;
  StoreBE32(record.data() + kReconLengthOffset, static_cast<uint32_t>(sealed.size()));
  record.insert(record.end(), sealed.begin(), sealed.end());

  for (uint8_t b : record) std::printf("%02x", b);
  std::printf("\n");
  for (int i = 2; i < argc; ++i) {
    if (strlen(argv[i]) != 5) return 2;
    Bytes all;
    for (int p = 0; p < 5; ++p) {
      char c = argv[i][p];
      Bytes key = c >= '0' && c <= '4' ? answers[c - '0'] : Random(16);
      all.insert(all.end(), key.begin(), key.end());
    }
    std::string out(ArmorBase64Length(all.size()), '?');
    armorInput(all.data(), all.size(), out.data());
    std::printf("%s\n", out.c_str());
  }
  QOXFreeContext(context);
  return 0;
}
