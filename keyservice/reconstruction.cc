// The reconstruction check. Every share is decrypted once with every answer
// key (25 decryptions); the search over ordered choices of three shares and
// three answers then only looks at those results.
#include "keyservice/reconstruction.h"

#include <string.h>

#include <cstring>
#include <memory>

#include "crypto/cbc.h"
#include "crypto/cipher.h"
#include "crypto/secret_share.h"
#include "foundation/armor_base64.h"
#include "foundation/byte_cursor.h"
#include "foundation/keydb_services.h"
#include "keydb/key_id.h"

namespace {

constexpr size_t kAnswerGroups = 27;                      // 107 or 108 characters
constexpr size_t kAnswerBytes = kAnswerGroups * 3;         // 81; the first 80 are used
constexpr size_t kShareRecordSize = kQOXShareHeaderSize + kReconAnswerKeySize;  // 20
constexpr uint8_t kZeroIV[8] = {};

// Wipes a buffer of key material when it goes.
template <size_t N>
struct Secret {
  uint8_t bytes[N] = {};
  ~Secret() { explicit_bzero(bytes, N); }
};

struct Cbc {
  QOXCBCContext* cbc = nullptr;
  ~Cbc() {
    if (cbc != nullptr) QOXFreeCBCContext(cbc);
  }
};

bool Decrypt(QOXCBCContext* cbc, const uint8_t* key, const uint8_t* in, size_t length, uint8_t* out) {
  return QOXInitCBC(cbc, key, kZeroIV) == kQOXErrNoErr && QOXCBCDecrypt(cbc, in, length, out) == kQOXErrNoErr;
}

}  // namespace

int qoxVerifyKeyReconstructruct(QOXContext* context, const uint8_t* data, size_t length, const char* bindDN,
                                const char* answers) {
  if (data == nullptr || bindDN == nullptr || answers == nullptr) return 0;
  const char* eq = strchr(bindDN, '=');
  if (eq == nullptr || strnlen(eq + 1, 16) < 16) return 0;
  const char* wanted = eq + 1;

  size_t answersLength = strnlen(answers, kAnswerGroups * 4 + 1);
  if (answersLength != kAnswerGroups * 4 && answersLength != kAnswerGroups * 4 - 1) return 0;
  Secret<kAnswerBytes> keys;
  size_t written = 0;
  unarmorInput(answers, answersLength, keys.bytes, sizeof keys.bytes, &written);
  if (written != kAnswerBytes) return 0;

  ostrak::ByteCursor record(data, length);
  uint32_t protectedLength = 0;
  const uint8_t* shares = nullptr;
  const uint8_t* sealed = nullptr;
  if (!record.skip(kReconLengthOffset) || !record.get_u32be(&protectedLength) ||
      !record.get_view(kReconShareCount * kReconShareSize, &shares) ||
      protectedLength % 8 != 0 || protectedLength < kReconKeyIDSize ||
      !record.get_view(protectedLength, &sealed))
    return 0;

  QOXSymmetricCipherContext* cipher = nullptr;
  if (QOXNewSymmetricCipherContext(context, kQOXCipherAlgorithm_CAST5, &cipher) != kQOXErrNoErr) return 0;
  Cbc cbc;
  // The CBC context owns the cipher context from here on, made or not.
  if (QOXNewCBCContext(cipher, &cbc.cbc) != kQOXErrNoErr) return 0;
  // opened[share][answer]: the share decrypted under that answer's key.
  Secret<kReconShareCount * kReconShareCount * kReconShareSize> opened;
  auto Opened = [&](size_t share, size_t answer) {
    return opened.bytes + (share * kReconShareCount + answer) * kReconShareSize;
  };
  for (size_t s = 0; s < kReconShareCount; ++s)
    for (size_t a = 0; a < kReconShareCount; ++a)
      if (!Decrypt(cbc.cbc, keys.bytes + a * kReconAnswerKeySize, shares + s * kReconShareSize, kReconShareSize,
                   Opened(s, a)))
        return 0;

  // The secret-sharing records of the chosen shares, one after the other.
  Secret<3 * kShareRecordSize> chosen;
  Secret<kReconAnswerKeySize> key;
  std::unique_ptr<uint8_t[]> plain(new uint8_t[protectedLength]);
  struct Wipe {
    uint8_t* p;
    size_t n;
    ~Wipe() { explicit_bzero(p, n); }
  } wipePlain{plain.get(), protectedLength};

  const size_t n = kReconShareCount;
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < n; ++j)
      for (size_t k = 0; k < n; ++k) {
        if (i == j || i == k || j == k) continue;
        for (size_t a = 0; a < n; ++a)
          for (size_t b = 0; b < n; ++b)
            for (size_t c = 0; c < n; ++c) {
              if (a == b || a == c || b == c) continue;
              const uint8_t* picks[3] = {Opened(i, a), Opened(j, b), Opened(k, c)};
              if (picks[0][0] != kQOXShareMarker || picks[1][0] != kQOXShareMarker ||
                  picks[2][0] != kQOXShareMarker)
                continue;
              for (int p = 0; p < 3; ++p) memcpy(chosen.bytes + p * kShareRecordSize, picks[p], kShareRecordSize);
              if (QOXSecretReconstructData(context, chosen.bytes, kReconAnswerKeySize, 3, key.bytes) != kQOXErrNoErr)
                continue;
              if (!Decrypt(cbc.cbc, key.bytes, sealed, protectedLength, plain.get())) return 0;
              QOXKeyID keyID{};
              memcpy(&keyID, plain.get(), sizeof keyID);
              char text[kQOXKeyIDStringSize];
              if (QOXGetKeyIDString(&keyID, kQOXKeyIDString_Full, text) != kQOXErrNoErr) continue;
              if (strlen(text) == 18 && memcmp(text + 2, wanted, 16) == 0) return 1;
            }
      }
  return 0;
}
