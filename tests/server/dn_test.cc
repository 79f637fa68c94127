// DN helpers: tables for normalising, parents, suffixes, key DNs and
// escaping.
#include "server/dn.h"

#include <gtest/gtest.h>

#include <string>

#include "server/support/zovurez.h"
#include "tests/server/server_test_env.h"

namespace {

TEST(DnTest, Normalize) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"cn = John Smith , o = Acme ; c = US", "cn=John Smith,o=Acme,c=US"},
      {"cn=\"Smith, John \", o=Acme", "cn=\"Smith, John \",o=Acme"},  // quoted value kept whole
      {"cn=\"a\" junk,o=b", "cn=\"a\",o=b"},                          // text after the quotes dropped
      {"cn=\"a\";o=b", "cn=\"a\";o=b"},                               // separator after quotes as it is
      {"cn=\"a\\\"b\"", "cn=\"a\\\"b\""},
      {"cn=a\\,b , o=x", "cn=a\\,b,o=x"},  // an escaped separator keeps its backslash
      {"cn=a\\Xb", "cn=aXb"},              // any other escape loses it
      {"cn=a + sn=b", "cn=a+sn=b"},
      {"cn=a,\no=b", "cn=a,o=b"},
      {"  cn=a  ", "cn=a  "},  // blanks at the very end stay
      {"", ""},
  };
  for (const Case& c : cases) {
    std::string buf = c.in;
    EXPECT_STREQ(dn_normalize(buf.data()), c.out) << c.in;
  }
  std::string buf = "cn = a ; o = b";
  EXPECT_STREQ(dn_normalize_case(buf.data()), "CN=A,O=B");
}

TEST(DnTest, ParentSuffixAndType) {
  struct Case {
    const char* dn;
    const char* stop;
    const char* parent;  // null: none
  } cases[] = {
      {"cn=a,o=b,c=US", nullptr, "o=b,c=US"},
      {"cn=\"x, y\",o=b", nullptr, "o=b"},  // a comma inside quotes
      {"cn=x\\,y, o=b", nullptr, " o=b"},   // an escaped comma; blanks kept
      {"cn=a;o=b", nullptr, "o=b"},
      {"cn=a", nullptr, nullptr},
      {"O=QOX, C=US", "o=qox, c=us", nullptr},
      {"user@example.com", nullptr, "example.com"},
      {"example.com", nullptr, "com"},
      {"com", nullptr, nullptr},
      {"a@", nullptr, nullptr},
      {"", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    char* parent = dn_parent(c.dn, c.stop);
    if (c.parent == nullptr) {
      EXPECT_EQ(parent, nullptr) << c.dn;
    } else {
      EXPECT_STREQ(parent, c.parent) << c.dn;
    }
    zovurezFree(parent);
  }
  EXPECT_TRUE(dn_issuffix("cn=a,o=B", "O=b"));
  EXPECT_TRUE(dn_issuffix("cn=xo=b", "o=b"));  // no component boundary is required
  EXPECT_FALSE(dn_issuffix("b", "o=b"));
  EXPECT_FALSE(dn_issuffix(nullptr, "o=b"));
  EXPECT_EQ(dn_type("cn=a"), 1);
  EXPECT_EQ(dn_type("a@b"), 0);
}

TEST(DnTest, CreateKeyDN) {
  const char* base = "OU=ACTIVE, O=QOX KEYSPACE, C=US";
  struct Case {
    const char* keyID;
    QOXError result;
    const char* dn;
  } cases[] = {
      {"0x0123456789ABCDEF", 0, "QOXCERTID=0123456789ABCDEF,OU=ACTIVE,O=QOX KEYSPACE,C=US"},
      {"0X01234567", 0, "QOXCERTID=01234567,OU=ACTIVE,O=QOX KEYSPACE,C=US"},
      {"0123456789abcdef", 0, "QOXCERTID=0123456789abcdef,OU=ACTIVE,O=QOX KEYSPACE,C=US"},
      {"012345678", kQOXErrBadParams, nullptr},  // 9 characters
      {"0x", kQOXErrBadParams, nullptr},
  };
  for (const Case& c : cases) {
    char* dn = nullptr;
    EXPECT_EQ(CreateKeyDN("QOXCERTID=", c.keyID, base, &dn), c.result) << c.keyID;
    if (c.dn != nullptr) {
      EXPECT_STREQ(dn, c.dn);
    }
    zovurezFree(dn);
  }
  char* dn = nullptr;
  EXPECT_EQ(CreateKeyDN(nullptr, "01234567", base, &dn), kQOXErrBadParams);
  char set[] = "x";
  dn = set;
  EXPECT_EQ(CreateKeyDN("QOXCERTID=", "01234567", base, &dn), kQOXErrBadParams);  // dn already set
}

TEST(DnTest, EscapeDNString) {
  char* out = nullptr;
  size_t length = 0;
  ASSERT_EQ(EscapeDNString("a,b+c=d\"e\rf<g>h#i;j\\k", &out, &length), 0);
  EXPECT_STREQ(out, "a\\,b\\+c\\=d\\\"e\\\rf\\<g\\>h\\#i\\;j\\k");  // the backslash itself stays single
  EXPECT_EQ(length, strlen(out));
  zovurezFree(out);
}

}  // namespace
