// Mac mappings and MacBinary II conversion of files made by an independent
// Python writer.
#include "foundation/macbinary.h"

#include <cstring>

#include "files_fixture.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/sdk_errors.h"
#include "python_oracle.h"

namespace {

// argv: directory, then cases "file|name|type|creator|datahex|rsrchex|flags";
// flags: c = corrupt the CRC.
constexpr char kWriter[] = R"PY(
import sys, struct, os
def crc16(data):
    crc = 0
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc
d = sys.argv[1]
for case in sys.argv[2:]:
    fname, name, ftype, creator, data, rsrc, flags = case.split('|')
    data, rsrc = bytes.fromhex(data), bytes.fromhex(rsrc)
    h = bytearray(128)
    h[1] = len(name)
    h[2:2 + len(name)] = name.encode()
    h[65:69] = ftype.encode()
    h[69:73] = creator.encode()
    struct.pack_into('>II', h, 83, len(data), len(rsrc))
    struct.pack_into('>II', h, 91, 3000000000, 3000000100)
    h[122] = h[123] = 129
    crc = crc16(bytes(h[:124]))
    if 'c' in flags:
        crc ^= 1
    struct.pack_into('>H', h, 124, crc)
    pad = lambda b: b + bytes(-len(b) % 128)
    with open(os.path.join(d, fname), 'wb') as f:
        f.write(bytes(h) + pad(data) + pad(rsrc))
    print(fname)
)PY";

std::string Hex(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string h;
  for (unsigned char c : s) {
    h += d[c >> 4];
    h += d[c & 15];
  }
  return h;
}

uint32_t Code(const char* c) {
  return (uint32_t(uint8_t(c[0])) << 24) | (uint32_t(uint8_t(c[1])) << 16) | (uint32_t(uint8_t(c[2])) << 8) |
         uint8_t(c[3]);
}

class MacBinaryTest : public FilesTest {
 protected:
  void SetUp() override {
    FilesTest::SetUp();
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);  // builds the mapping table
  }
  void TearDown() override {
    QOXsdkCleanup();
    FilesTest::TearDown();
  }
};

TEST_F(MacBinaryTest, MappingLookups) {
  char ext[4];
  struct Case {
    const char* creator;
    const char* type;
    const char* ext;
    QOXError err;
  } cases[] = {
      {"ABCD", "TEXT", "txt", 0},  // wild-card row
      {"ABCD", "ABCD", "bin", kQOXErrCannotTranslateMacBinary},
      {"CWIE", "TEXT", "h", 0},    // first of several rows wins
      {"MSPJ", "MPP ", "mpp", 0},  // a space inside a code
      {"MSWD", "ZZZZ", "doc", 0},
      {"XYZW", "TIFF", "tif", 0},
      {"QOXk", "PKRG", "pkr", 0},
      {"QOXk", "SKRG", "skr", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(qoxMapMacCreatorTypeToExtension(Code(c.creator), Code(c.type), ext), c.err) << c.creator << c.type;
    EXPECT_STREQ(ext, c.ext) << c.creator << c.type;
  }
  EXPECT_TRUE(qoxIsValidExtensionForMacType(0, kQOXMacTypeTEXT, "TXT"));
  EXPECT_TRUE(qoxIsValidExtensionForMacType(0, kQOXMacTypeTEXT, "prn"));
  EXPECT_FALSE(qoxIsValidExtensionForMacType(0, kQOXMacTypeTEXT, "text"));
  EXPECT_FALSE(qoxIsValidExtensionForMacType(0, Code("BINA"), "txt"));

  // The built-in text holds 130 rows.
  QOXMacMappingTable* table = nullptr;
  const char* text = qoxMacMappingText();
  ASSERT_EQ(qoxParseMacMappings(mgr_, text, std::strlen(text), &table), 0);
  EXPECT_EQ(table->count, 130u);
  EXPECT_EQ(table->capacity, 130u);
  qoxFreeMacMappings(table);

  qoxDisposeMacBinaryMappings();
  EXPECT_EQ(qoxMapMacCreatorTypeToExtension(Code("ABCD"), Code("TEXT"), ext), kQOXErrBadParams);
  ASSERT_EQ(qoxInitMacBinaryMappings(), 0);
}

TEST_F(MacBinaryTest, MappingTextParsing) {
  const std::string text =
      "# comment line that is long enough\n"
      "0x41424344\tTEXT\ttxt\r"
      "WXYZ\tTEXT\ttext\n"     // four-letter extension: skipped
      "ab\tcd\tef\n"           // ten characters or fewer: skipped
      "\n"
      "  SIT!  BINA  zip  \n";  // blanks around fields
  QOXMacMappingTable* table = nullptr;
  ASSERT_EQ(qoxParseMacMappings(mgr_, text.data(), text.size(), &table), 0);
  ASSERT_EQ(table->count, 2u);
  EXPECT_EQ(table->entries[0].creator, Code("ABCD"));
  EXPECT_EQ(table->entries[0].type, Code("TEXT"));
  EXPECT_STREQ(table->entries[0].extension, "txt");
  EXPECT_EQ(table->entries[1].creator, Code("SIT!"));
  EXPECT_STREQ(table->entries[1].extension, "zip");
  qoxFreeMacMappings(table);
}

TEST_F(MacBinaryTest, ConvertsToTheDataFork) {
  std::string binary;
  for (int i = 0; i < 300; ++i) binary += static_cast<char>(i * 7);
  WriteFile(Path("x.txt"), "someone else's file");
  struct Case {
    std::string file, type, creator, data, rsrc;
    std::string result, contents;
  } cases[] = {
      // Text gets local line ends and the mapped extension.
      {"notes.bin", "TEXT", "ttxt", "a\rb\r\nc\r", "RSRC", "notes.txt", "a\nb\nc\n"},
      // A fitting extension stays.
      {"readme.TXT", "TEXT", "ABCD", "x\ry", "", "readme.TXT", "x\ny"},
      // No extension: the mapped one is appended; binary data is exact.
      {"photo", "JPEG", "JVWR", binary, std::string(200, 'r'), "photo.jpg", binary},
      // Nothing maps: the name stays.
      {"file.dat", "ABCD", "ABCD", "raw", "", "file.dat", "raw"},
      // The wanted name belongs to another file: it gets a number instead.
      {"x.bin", "TEXT", "ttxt", "t", "", "x1.txt", "t"},
  };
  std::vector<std::string> args = {dir_};
  for (const Case& c : cases)
    args.push_back(c.file + "|" + c.file + "|" + c.type + "|" + c.creator + "|" + Hex(c.data) + "|" + Hex(c.rsrc) + "|");
  std::string argLine;
  for (const std::string& a : args) argLine += "'" + a + "' ";
  ASSERT_EQ(RunPython(kWriter, argLine).size(), std::size(cases));

  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Spec spec;
    NewSpec(spec, Path(c.file));
    Spec out;
    uint32_t type = 0, creator = 0;
    ASSERT_EQ(qoxMacBinaryToLocal(spec.p, &out.p, &type, &creator), 0);
    EXPECT_EQ(type, Code(c.type.c_str()));
    EXPECT_EQ(creator, Code(c.creator.c_str()));
    EXPECT_EQ(PathOf(out.p), Path(c.result));
    EXPECT_EQ(ReadFile(Path(c.result)), c.contents);
    if (c.result != c.file) {
      EXPECT_FALSE(Exists(Path(c.file)));
    }
  }
  EXPECT_EQ(ReadFile(Path("x.txt")), "someone else's file");
  EXPECT_FALSE(Exists(Path("temp1.tmp")));
}

TEST_F(MacBinaryTest, BadFilesAreLeftUntouched) {
  ASSERT_EQ(RunPython(kWriter, "'" + dir_ + "' 'crc|crc|TEXT|ttxt|" + Hex("abc") + "||c' 'empty|empty|TEXT|ttxt|||'")
                .size(),
            2u);
  WriteFile(Path("short"), std::string(100, 'x'));
  // A header that claims more data than the file holds.
  std::string claims = std::string(128, '\0');
  claims[83] = 1;  // 16 MiB data fork
  uint16_t crc = qoxMacBinaryCRC(reinterpret_cast<const uint8_t*>(claims.data()), 124);
  claims[124] = static_cast<char>(crc >> 8);
  claims[125] = static_cast<char>(crc & 0xFF);
  WriteFile(Path("truncated"), claims + "only a little");

  struct Case {
    const char* file;
    QOXError err;
  } cases[] = {
      {"crc", kQOXErrNotMacBinary},
      {"empty", kQOXErrCannotTranslateMacBinary},
      {"short", kQOXErrEOF},
      {"truncated", kQOXErrEOF},
      {"missing", kQOXErrFileNotFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    std::string before = ReadFile(Path(c.file));
    Spec spec;
    NewSpec(spec, Path(c.file));
    PFLFileSpec* out = reinterpret_cast<PFLFileSpec*>(1);
    EXPECT_EQ(qoxMacBinaryToLocal(spec.p, &out, nullptr, nullptr), c.err);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(ReadFile(Path(c.file)), before);
  }
  EXPECT_FALSE(Exists(Path("temp1.tmp")));
}

}  // namespace
