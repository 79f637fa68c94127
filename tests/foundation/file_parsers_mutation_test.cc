// Random and mutated input for the parsers of outside bytes in the file and
// key-string code: exported file specs, string-to-key specifiers, mapping
// text and MacBinary headers. Each must answer with a result or an error,
// never read outside its input (the sanitizer build checks that).
#include <cstring>
#include <random>
#include <vector>

#include "files_fixture.h"
#include "foundation/macbinary.h"
#include "foundation/core/string_to_key.h"
#include "toolkit_fixture.h"

namespace {

std::vector<uint8_t> RandomBytes(std::mt19937& rng, size_t maxLength, const std::vector<uint8_t>& alphabet) {
  std::vector<uint8_t> bytes(rng() % (maxLength + 1));
  for (uint8_t& b : bytes) b = alphabet.empty() ? static_cast<uint8_t>(rng()) : alphabet[rng() % alphabet.size()];
  return bytes;
}

using ParserMutationTest = ToolkitTest;

TEST_F(ParserMutationTest, StringToKeySpecifiers) {
  std::mt19937 rng(11);
  const std::vector<uint8_t> small = {0, 1, 2, 3, 4, 5, 6, 0x60, 0xFF};
  for (int i = 0; i < 20000; ++i) {
    std::vector<uint8_t> in = RandomBytes(rng, 14, i % 2 ? small : std::vector<uint8_t>{});
    // An exact-size copy on the heap, so any overrun is caught.
    auto* heap = new uint8_t[in.size() + 1];
    std::copy(in.begin(), in.end(), heap);
    int32_t measured = qoxS2Kdecode(nullptr, context_, heap, in.size());
    QOXStringToKey* s2k = nullptr;
    int32_t used = qoxS2Kdecode(&s2k, context_, heap, in.size());
    delete[] heap;
    ASSERT_EQ(measured, used);
    if (used < 0) {
      ASSERT_EQ(s2k, nullptr);
      continue;
    }
    ASSERT_TRUE(used == 1 || used == 2 || used == 10 || used == 11);
    ASSERT_LE(static_cast<size_t>(used), in.size());
    ASSERT_EQ(std::vector<uint8_t>(s2k->encoded, s2k->encoded + s2k->encodedLength),
              std::vector<uint8_t>(in.begin(), in.begin() + used));
    // Deriving a key checks the parsed specifier is usable; iterated
    // specifiers with large counts hash megabytes each, so only small counts
    // are converted here (the count encoding has its own table test).
    if (used != 11 || in[10] <= 0x60) {
      uint8_t key[24];
      size_t keyLen = used == 1 ? 3 : sizeof key;
      ASSERT_EQ(qoxS2Kconvert(s2k, "pwd", 3, key, keyLen), 0);
    }
    qoxS2Kdestroy(s2k);
  }
}

using ParserFilesTest = FilesTest;

TEST_F(ParserFilesTest, ExportedFileSpecsAndMappingText) {
  std::mt19937 rng(12);
  const std::vector<uint8_t> specBytes = {14, 13, 0, '/', 'a'};
  for (int i = 0; i < 20000; ++i) {
    std::vector<uint8_t> in = RandomBytes(rng, 8, specBytes);
    auto* heap = new uint8_t[in.size() + 1];
    std::copy(in.begin(), in.end(), heap);
    PFLFileSpec* spec = nullptr;
    QOXError err = PFLImportFileSpec(mgr_, heap, in.size(), &spec);
    delete[] heap;
    if (err != 0) {
      ASSERT_EQ(spec, nullptr);
      continue;
    }
    // Accepted only as type 14 ending in a NUL; the path runs to the first NUL.
    ASSERT_EQ(in.front(), 14);
    ASSERT_EQ(in.back(), 0);
    ASSERT_EQ(PathOf(spec), std::string(reinterpret_cast<const char*>(in.data() + 1)));
    PFLFreeFileSpec(spec);
  }

  const std::vector<uint8_t> textBytes = {'A', 'x', '0', '#', ' ', '\t', '\n', '\r', '*', 'f'};
  for (int i = 0; i < 5000; ++i) {
    std::vector<uint8_t> in = RandomBytes(rng, 60, textBytes);
    auto* heap = new char[in.size() + 1];
    std::copy(in.begin(), in.end(), heap);
    QOXMacMappingTable* table = nullptr;
    ASSERT_EQ(qoxParseMacMappings(mgr_, heap, in.size(), &table), 0);
    for (uint32_t r = 0; r < table->count; ++r) {
      size_t n = std::strlen(table->entries[r].extension);
      ASSERT_GE(n, 1u);
      ASSERT_LE(n, 3u);
    }
    qoxFreeMacMappings(table);
    delete[] heap;
  }
}

TEST_F(ParserFilesTest, MutatedMacBinaryHeaders) {
  std::mt19937 rng(13);
  for (int i = 0; i < 300; ++i) {
    std::string bytes(128 + rng() % 300, '\0');
    for (char& c : bytes) c = static_cast<char>(rng() % 4 == 0 ? rng() : 0);
    bytes[65] = 'T', bytes[66] = 'E', bytes[67] = 'X', bytes[68] = 'T';
    if (i % 2 == 0) {  // a valid CRC half of the time, so the fork length is used
      bytes[83] = bytes[84] = 0;
      uint16_t crc = qoxMacBinaryCRC(reinterpret_cast<const uint8_t*>(bytes.data()), 124);
      bytes[124] = static_cast<char>(crc >> 8);
      bytes[125] = static_cast<char>(crc);
    }
    std::string path = Path("m" + std::to_string(i));
    WriteFile(path, bytes);
    Spec spec, out;
    NewSpec(spec, path);
    QOXError err = qoxMacBinaryToLocal(spec.p, &out.p, nullptr, nullptr);
    if (err != 0) {
      ASSERT_EQ(out.p, nullptr);
      ASSERT_EQ(ReadFile(path), bytes);
    } else {
      ASSERT_NE(out.p, nullptr);
      PFLFileSpecDelete(out.p);
    }
  }
}

}  // namespace
