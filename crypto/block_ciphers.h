// One-block operations of the registered block ciphers.
//
// Each cipher fills the slots of its registry record (crypto/cipher.h): a key
// operation that writes a key state of the record's size, one-block encrypt
// and decrypt, and, for IDEA, Triple-DES and CAST-128, a wash that hashes any
// byte string into the key. The operations check nothing: the symmetric-cipher
// context checks arguments and whether a key was loaded. Every encrypt and
// decrypt accepts the same buffer as input and output.
//
// Several ciphers keep one schedule and turn it between encryption and
// decryption form on demand; their state ends in a form byte (17 encryption,
// 34 decryption, 3DES also 0 = not expanded). Because of these form changes
// even a decrypt writes its key state: one key state is used by one thread at
// a time. Tables are compile-time constants.
#ifndef OSTRAK_CRYPTO_BLOCK_CIPHERS_H_
#define OSTRAK_CRYPTO_BLOCK_CIPHERS_H_

#include <cstddef>
#include <cstdint>

inline constexpr uint8_t kCipherFormEncrypt = 17;
inline constexpr uint8_t kCipherFormDecrypt = 34;
inline constexpr uint8_t kCipherFormNone = 0;

// Key-state sizes (bytes). AES keeps its round count and form byte in a 4-byte header.
inline constexpr uint32_t kIDEAStateSize = 105;      // 52 subkeys, form byte
inline constexpr uint32_t kDES3StateSize = 409;      // 3 x 32 words, 24 key bytes, form
inline constexpr uint32_t kCAST5StateSize = 128;     // 16 (Km, Kr) pairs
inline constexpr uint32_t kTwofishStateSize = 4388;  // see twofish.cc
inline constexpr uint32_t kAES128StateSize = 180;    // rounds, form, 11 round keys
inline constexpr uint32_t kAES192StateSize = 212;    // rounds, form, 13 round keys
inline constexpr uint32_t kAES256StateSize = 244;    // rounds, form, 15 round keys
inline constexpr uint32_t kRC2StateSize = 128;       // 64 key words

// IDEA: 16-byte key, big-endian 16-bit words.
void ideaKey(void* state, const uint8_t* key);
void ideaEncrypt(void* state, const uint8_t* in, uint8_t* out);
void ideaDecrypt(void* state, const uint8_t* in, uint8_t* out);
void ideaWash(void* state, const uint8_t* bytes, size_t length);

// Triple-DES EDE, K1 K2 K3 = key bytes 0-7, 8-15, 16-23; expanded lazily.
void des3Key(void* state, const uint8_t* key);
void des3Encrypt(void* state, const uint8_t* in, uint8_t* out);
void des3Decrypt(void* state, const uint8_t* in, uint8_t* out);
void des3Wash(void* state, const uint8_t* bytes, size_t length);

// CAST-128 with a 16-byte key.
void cast5Key(void* state, const uint8_t* key);
void cast5Encrypt(void* state, const uint8_t* in, uint8_t* out);
void cast5Decrypt(void* state, const uint8_t* in, uint8_t* out);
void cast5Wash(void* state, const uint8_t* bytes, size_t length);

// Twofish with a 256-bit key and 16 rounds.
void twof256Key(void* state, const uint8_t* key);
void twof256Encrypt(void* state, const uint8_t* in, uint8_t* out);
void twof256Decrypt(void* state, const uint8_t* in, uint8_t* out);

// AES; the three key operations record their own round count.
void aes128Key(void* state, const uint8_t* key);
void aes192Key(void* state, const uint8_t* key);
void aes256Key(void* state, const uint8_t* key);
void aesEncrypt(void* state, const uint8_t* in, uint8_t* out);
void aesDecrypt(void* state, const uint8_t* in, uint8_t* out);

// RC2: RC2_40 (5 key bytes, 40 effective bits) only decrypts; RC2_128 (16 key
// bytes, 1024 effective bits) does both.
void rc2_40Key(void* state, const uint8_t* key);
void rc2_128Key(void* state, const uint8_t* key);
void rc2Encrypt(void* state, const uint8_t* in, uint8_t* out);
void rc2Decrypt(void* state, const uint8_t* in, uint8_t* out);

// Single DES on 8-byte keys, used by the Triple-DES wash and by tests.
// Parity bits are ignored.
void desEncryptBlock(const uint8_t* key, const uint8_t* in, uint8_t* out);
void desDecryptBlock(const uint8_t* key, const uint8_t* in, uint8_t* out);

// Zeroes scratch that held key material; the volatile stores are not
// optimised away.
inline void WipeBytes(void* p, size_t n) {
  volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
  while (n--) *v++ = 0;
}

// Padding walk shared by the three washes (Davies-Meyer over the cipher): the
// bytes in 8-byte blocks, then 0x80, zeros and the length modulo 65536
// big-endian in the last two bytes of the final block (a block of its own when
// 6 or 7 bytes remain). compress is called once per block; the pad block is
// wiped before returning.
template <typename Compress>
void WashBlocks(const uint8_t* bytes, size_t length, Compress&& compress) {
  size_t whole = length / 8;
  for (size_t i = 0; i < whole; ++i) compress(bytes + 8 * i);
  size_t rest = length - 8 * whole;
  uint8_t pad[8] = {0};
  for (size_t i = 0; i < rest; ++i) pad[i] = bytes[8 * whole + i];
  pad[rest] = 0x80;
  if (rest >= 6) {
    compress(pad);
    for (auto& b : pad) b = 0;
  }
  pad[6] = static_cast<uint8_t>((length >> 8) & 0xff);
  pad[7] = static_cast<uint8_t>(length & 0xff);
  compress(pad);
  WipeBytes(pad, sizeof pad);
}

// Tandem Davies-Meyer, the wash of IDEA and CAST-128: the chaining value
// G | H (8 bytes each, updated in place) absorbs the padded bytes one block m
// at a time:
//   T = Enc(key H | m, G)   U = Enc(key m | T, H)   G ^= T   H ^= U
// encrypt(key16, in, out) is one-block encryption under a 16-byte key.
template <typename Encrypt16>
void TandemDaviesMeyer(uint8_t* gh, const uint8_t* bytes, size_t length, Encrypt16&& encrypt) {
  uint8_t key[16], t[8], u[8];
  WashBlocks(bytes, length, [&](const uint8_t* m) {
    for (int i = 0; i < 8; ++i) {
      key[i] = gh[8 + i];
      key[8 + i] = m[i];
    }
    encrypt(key, gh, t);
    for (int i = 0; i < 8; ++i) {
      key[i] = m[i];
      key[8 + i] = t[i];
    }
    encrypt(key, gh + 8, u);
    for (int i = 0; i < 8; ++i) {
      gh[i] ^= t[i];
      gh[8 + i] ^= u[i];
    }
  });
  WipeBytes(key, sizeof key);
  WipeBytes(t, sizeof t);
  WipeBytes(u, sizeof u);
}

#endif  // OSTRAK_CRYPTO_BLOCK_CIPHERS_H_
