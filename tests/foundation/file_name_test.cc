// File-name extensions, numbered names and the case-insensitive string
// routines.
#include "foundation/file_name.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "foundation/string_utils.h"

namespace {

TEST(FileName, Extensions) {
  struct Case {
    const char* name;
    const char* extension;  // null: none
    size_t baseLength;
  } const cases[] = {
      {"a.txt", "txt", 1},
      {".profile", nullptr, 8},   // a leading dot starts no extension
      {"a.text", nullptr, 6},     // four characters are too many
      {"a.b.c", "c", 3},          // the last dot counts
      {"noext", nullptr, 5},
      {"a.", "", 1},
      {"x.tx.longer", nullptr, 11},
      {"", nullptr, 0},
  };
  for (const Case& c : cases) {
    const char* ext = QOXGetFileNameExtension(c.name);
    if (c.extension == nullptr) {
      EXPECT_EQ(ext, nullptr) << c.name;
    } else {
      ASSERT_NE(ext, nullptr) << c.name;
      EXPECT_STREQ(ext, c.extension) << c.name;
    }
    EXPECT_EQ(QOXGetEndOfBaseFileName(c.name), c.name + c.baseLength) << c.name;
  }
}

TEST(FileName, NumberedNamesShortenNameThenSeparatorThenExtension) {
  struct Case {
    const char* base;
    const char* separator;
    int32_t number;
    size_t size;
    const char* expected;
  } const cases[] = {
      {"report.txt", "-", 7, 64, "report-7.txt"},
      {"averyverylongname.txt", "-", 12, 13, "avery-12.txt"},
      {"README", "_", 3, 64, "README_3"},
      {"abcdefgh.txt", "---", 1234567890, 13, "1234567890.t"},
      {"abcdefgh.txt", "---", 12345678, 13, "12345678.txt"},
      {"abcdefgh.txt", "---", 123456789, 13, "123456789.tx"},
      {"abcdefgh.txt", "", -2147483647 - 1, 13, "-2147483648"},
      {".profile", "-", 1, 13, ".profile-1"},
      {".profile", "-", 1234, 13, ".profil-1234"},
  };
  for (const Case& c : cases) {
    char out[64];
    ASSERT_EQ(QOXNewNumberFileName(c.base, c.separator, c.number, c.size, out), kQOXErrNoErr)
        << c.base;
    EXPECT_STREQ(out, c.expected) << c.base << " size " << c.size;
    EXPECT_LT(std::strlen(out), c.size);
  }
  char out[64];
  EXPECT_EQ(QOXNewNumberFileName("report.txt", "-", 7, 12, out), kQOXErrBadParams);
  char self[64] = "report.txt";
  EXPECT_EQ(QOXNewNumberFileName(self, "-", 7, 64, self), kQOXErrBadParams);
}

TEST(FileName, VerifyAcceptsWhatNewMakes) {
  struct Case {
    const char* base;
    const char* separator;
    int32_t number;
    size_t size;
  } const cases[] = {
      {"report.txt", "-", 7, 64},         {"averyverylongname.txt", "-", 12, 13},
      {"README", "_", 3, 64},             {"abcdefgh.txt", "---", 1234567890, 13},
      {"abcdefgh.txt", "---", 12345678, 13}, {"x.c", " copy ", 0, 16},
      {"averyverylongname.txt", "", 2147483647, 14},
  };
  for (const Case& c : cases) {
    char name[64];
    ASSERT_EQ(QOXNewNumberFileName(c.base, c.separator, c.number, c.size, name), kQOXErrNoErr);
    uint8_t match = 0;
    int32_t number = 0;
    EXPECT_EQ(QOXVerifyNumberFileName(c.base, c.separator, name, c.size, &match, &number),
              kQOXErrNoErr);
    EXPECT_EQ(match, 1) << name;
    EXPECT_EQ(number, c.number) << name;
  }
}

TEST(FileName, VerifyRejectsOtherNames) {
  struct Case {
    const char* candidate;
    size_t limit;
    const char* why;
  } const cases[] = {
      {"report-7.doc", 64, "other extension"},
      {"report7.txt", 64, "no separator"},
      {"report-.txt", 64, "no digits"},
      {"report-7.", 64, "a lone dot"},
      {"repo-7.txt", 64, "shortened name below the size limit"},
      {"xeport-7.txt", 64, "other name"},
      {"reports-7.txt", 64, "longer name"},
      {"report-7.tx", 64, "shortened extension with a name in front"},
      {"report-99999999999.txt", 64, "number beyond 32 bits"},
  };
  for (const Case& c : cases) {
    uint8_t match = 9;
    int32_t number = 9;
    EXPECT_EQ(QOXVerifyNumberFileName("report.txt", "-", c.candidate, c.limit, &match, &number),
              kQOXErrNoErr);
    EXPECT_EQ(match, 0) << c.why;
    EXPECT_EQ(number, -1) << c.why;
  }
  // A shortened name is accepted when it was made at the size limit.
  uint8_t match = 0;
  int32_t number = 0;
  QOXVerifyNumberFileName("report.txt", "-", "repo-7.txt", 11, &match, &number);
  EXPECT_EQ(match, 1);
  EXPECT_EQ(number, 7);
}

TEST(StringUtils, CaseInsensitiveCompareAndSearch) {
  EXPECT_EQ(qoxCompareStringsIgnoreCase("Hello", "hELLO"), 0);
  EXPECT_LT(qoxCompareStringsIgnoreCase("abc", "ABD"), 0);
  EXPECT_GT(qoxCompareStringsIgnoreCase("abcd", "ABC"), 0);
  EXPECT_EQ(qoxCompareStringsIgnoreCase("", ""), 0);
  // Bytes compare unsigned: 0xE9 sorts after 'z'.
  EXPECT_GT(qoxCompareStringsIgnoreCase("\xE9", "z"), 0);

  EXPECT_EQ(qoxCompareStringsIgnoreCaseN("abcX", "ABCy", 3), 0);
  EXPECT_NE(qoxCompareStringsIgnoreCaseN("abcX", "ABCy", 4), 0);
  EXPECT_EQ(qoxCompareStringsIgnoreCaseN("a", "b", 0), 0);
  EXPECT_EQ(qoxCompareStringsIgnoreCaseN("a", "b", -3), 0);
  EXPECT_EQ(qoxCompareStringsIgnoreCaseN("ab", "AB", 10), 0);  // stops at the NUL

  const char* hay = "The QOX Keyserver";
  EXPECT_EQ(FindSubStringNoCase(hay, "keySERVER"), hay + 8);
  EXPECT_EQ(FindSubStringNoCase(hay, "the"), hay);
  EXPECT_EQ(FindSubStringNoCase(hay, "servers"), nullptr);
  EXPECT_EQ(FindSubStringNoCase(hay, ""), nullptr);
  EXPECT_EQ(FindSubStringNoCase("", "a"), nullptr);
  const char* repeated = "aaab";
  EXPECT_EQ(FindSubStringNoCase(repeated, "AAB"), repeated + 1);
}

}  // namespace
