// Random-mutation runs over the LDAP client's filter reader and response
// side (the bodies of the fuzz targets, tests/net/fuzz/ldap_client_fuzz_body.h),
// meant for the sanitizer build: texts made of the filter syntax's own
// characters, and mutated seeds of the checked-in corpora, must never make
// them loop, read or write out of bounds, or leak. OSTRAK_LDAP_MUTATIONS
// sets the number of inputs per run (default 20000), OSTRAK_LDAP_SEED the
// seed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/memory_mgr.h"
#include "net/ldap_client.h"
#include "tests/common/counting_memory_mgr.h"
#include "tests/net/fuzz/ldap_client_fuzz_body.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint64_t EnvOr(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  return v ? std::strtoull(v, nullptr, 10) : fallback;
}

std::vector<Bytes> Corpus(const char* name) {
  std::vector<Bytes> out;
  std::filesystem::path dir = std::filesystem::path(OSTRAK_SOURCE_DIR) / "tests/net/fuzz/corpus" / name;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    out.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return out;
}

Bytes Mutate(Bytes b, std::mt19937& gen) {
  int edits = 1 + gen() % 4;
  for (int i = 0; i < edits; ++i) {
    switch (gen() % 4) {
      case 0:
        if (!b.empty()) b[gen() % b.size()] = static_cast<uint8_t>(gen());
        break;
      case 1:
        if (!b.empty()) b.erase(b.begin() + gen() % b.size());
        break;
      case 2:
        b.insert(b.begin() + (b.empty() ? 0 : gen() % (b.size() + 1)), static_cast<uint8_t>(gen()));
        break;
      case 3:
        if (!b.empty()) b.resize(gen() % b.size());
        break;
    }
  }
  return b;
}

class LdapMutationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), kQOXErrNoErr);
    QOXNewContextStruct rec{kQOXAPIVersion, counting_.Make(), 0};
    ASSERT_EQ(QOXNewContextCustom(&rec, &sdk_), kQOXErrNoErr);
    ASSERT_EQ(QOXNewLDAPContext(sdk_, &ld_), kQOXErrNoErr);
    mgr_ = QOXPeekContextMemoryMgr(sdk_);
    baseline_ = counting_.live();
  }
  void TearDown() override {
    // Nothing a step made outlives it.
    EXPECT_EQ(counting_.live(), baseline_);
    QOXFreeLDAPContext(ld_);
    QOXFreeContext(sdk_);
    QOXsdkCleanup();
  }

  ostrak_test::CountingMemoryMgr counting_;
  QOXContext* sdk_ = nullptr;
  QOXldapContext ld_ = nullptr;
  QOXMemoryMgr* mgr_ = nullptr;
  long baseline_ = 0;
};

TEST_F(LdapMutationTest, FilterTextsOfTheSyntaxAlphabet) {
  std::mt19937 gen(static_cast<uint32_t>(EnvOr("OSTRAK_LDAP_SEED", 38)));
  const uint64_t n = EnvOr("OSTRAK_LDAP_MUTATIONS", 20000);
  static constexpr char kAlphabet[] = "()&|!=*<>~\\ab";
  for (uint64_t i = 0; i < n; ++i) {
    Bytes text(gen() % 40);
    for (uint8_t& c : text) c = static_cast<uint8_t>(kAlphabet[gen() % (sizeof kAlphabet - 1)]);
    ldap_fuzz::Filter(ld_, mgr_, text.data(), text.size());
  }
  const std::vector<Bytes> seeds = Corpus("ldap_filter");
  ASSERT_FALSE(seeds.empty());
  for (uint64_t i = 0; i < n; ++i) {
    Bytes b = Mutate(seeds[gen() % seeds.size()], gen);
    ldap_fuzz::Filter(ld_, mgr_, b.data(), b.size());
  }
}

TEST_F(LdapMutationTest, MutatedResponseChains) {
  std::mt19937 gen(static_cast<uint32_t>(EnvOr("OSTRAK_LDAP_SEED", 38)));
  const uint64_t n = EnvOr("OSTRAK_LDAP_MUTATIONS", 20000);
  const std::vector<Bytes> seeds = Corpus("ldap_response");
  ASSERT_FALSE(seeds.empty());
  for (uint64_t i = 0; i < n; ++i) {
    Bytes b = Mutate(seeds[gen() % seeds.size()], gen);
    ldap_fuzz::Responses(ld_, mgr_, b.data(), b.size());
  }
}

}  // namespace
