// The magic words that begin the key database's handles ("KYDB", "KOBJ",
// "KSET", "KLST", "KITR", "FILT"): four ASCII bytes in memory order, tested by every
// call that takes a handle.
//
// Thread safety: pure functions.
#ifndef OSTRAK_KEYDB_HANDLE_MAGIC_H_
#define OSTRAK_KEYDB_HANDLE_MAGIC_H_

#include <cstdint>
#include <cstring>

inline constexpr char kQOXKeyDBMagic[4] = {'K', 'Y', 'D', 'B'};
inline constexpr char kQOXKeyDBObjMagic[4] = {'K', 'O', 'B', 'J'};
inline constexpr char kQOXKeySetMagic[4] = {'K', 'S', 'E', 'T'};
inline constexpr char kQOXKeyListMagic[4] = {'K', 'L', 'S', 'T'};
inline constexpr char kQOXKeyIterMagic[4] = {'K', 'I', 'T', 'R'};
inline constexpr char kQOXFilterMagic[4] = {'F', 'I', 'L', 'T'};

inline void qoxSetMagic(uint8_t (&magic)[4], const char (&word)[4]) { std::memcpy(magic, word, 4); }
inline bool qoxHasMagic(const uint8_t (&magic)[4], const char (&word)[4]) {
  return std::memcmp(magic, word, 4) == 0;
}
// Inverts every byte (a freed handle).
inline void qoxInvertMagic(uint8_t (&magic)[4]) {
  for (uint8_t& b : magic) b = static_cast<uint8_t>(~b);
}

#endif  // OSTRAK_KEYDB_HANDLE_MAGIC_H_
