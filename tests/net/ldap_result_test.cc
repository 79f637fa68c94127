#include "net/ldap_result.h"

#include <gtest/gtest.h>

namespace {

TEST(LdapResultToError, TableAndCodesOutsideIt) {
  struct Case {
    int32_t result;
    int32_t code;
  };
  const Case cases[] = {
      {0, 0},        {5, 0},        {6, 0},         // success and both compare results
      {1, -10950},   {2, -10949},   {4, -10947},    {7, -10946},   {9, -10944},
      {16, -10943},  {21, -10938},  {32, -10937},   {36, -10933},  {48, -10932},
      {49, -10931},  {54, -10926},  {64, -10925},   {70, -10919},  {80, -10918},
      {85, -10913},  {89, -10909},
      {90, -11999},  {91, -10908},
      // Gaps between the ranges and values beyond them fall to "other".
      {10, -10918},  {15, -10918},  {22, -10918},   {47, -10918},  {71, -10918},
      {92, -10918},  {100, -10918}, {-1, -10918},   {0x7fffffff, -10918},
  };
  for (const Case& c : cases)
    EXPECT_EQ(QOXldapResultToError(nullptr, c.result), c.code) << "result " << c.result;
}

}  // namespace
