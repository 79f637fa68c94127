// The slot of a registered table: the stand-ins answer until a table is
// installed, installing hands back what it replaces, null brings the
// stand-ins back; and the test helper that installs a double puts the
// previous table back when it goes.
#include "foundation/service_table.h"

#include "tests/common/scoped_services.h"

namespace {

struct Table {
  int (*answer)();
};

int StandIn() { return -1; }
int Real() { return 1; }
int Other() { return 2; }

constexpr Table kStandIns = {.answer = StandIn};
constexpr Table kReal = {.answer = Real};
constexpr Table kOther = {.answer = Other};

QOXServiceSlot<Table> gSlot{&kStandIns};
const Table& Current() { return gSlot.get(); }
const Table* Install(const Table* table) { return gSlot.install(table); }

TEST(ServiceSlotTest, InstallReplacesAndNullRestoresTheStandIns) {
  EXPECT_EQ(gSlot.get().answer(), -1);
  EXPECT_EQ(Install(&kReal), nullptr) << "the stand-ins were in force";
  EXPECT_EQ(gSlot.get().answer(), 1);
  EXPECT_EQ(Install(&kOther), &kReal);
  EXPECT_EQ(gSlot.get().answer(), 2);
  EXPECT_EQ(Install(nullptr), &kOther);
  EXPECT_EQ(gSlot.get().answer(), -1);
}

TEST(ServiceSlotTest, ScopedDoubleKeepsUnreplacedMembersAndRestoresThePrevious) {
  Install(&kReal);
  {
    ostrak_test::ScopedServices<Table> double_(Current, Install);
    EXPECT_EQ(gSlot.get().answer(), 1) << "a copy of the table in force";
    double_->answer = Other;
    EXPECT_EQ(gSlot.get().answer(), 2);
  }
  EXPECT_EQ(&gSlot.get(), &kReal);
  Install(nullptr);
  {
    ostrak_test::ScopedServices<Table> double_(Current, Install);
    double_->answer = Real;
    EXPECT_EQ(gSlot.get().answer(), 1);
  }
  EXPECT_EQ(&gSlot.get(), &kStandIns);
}

}  // namespace
