// The one way a test installs a double: through the same registration the
// real subsystem uses (foundation/service_table.h).
//
//   ScopedServices keydb(qoxKeyDBServices, qoxRegisterKeyDBServices);
//   keydb->qoxKeyIsValid = [](const QOXKeyDBObj*) { return true; };
//
// The object copies the table in force, installs the copy at once and, when
// it goes, puts back the table that was in force before. Members the test
// does not replace keep what was in force (the stand-ins, or what the wiring
// registered). Members may be replaced while the copy is installed.
//
// Thread safety: make and drop it while no other thread calls through the
// table.
#ifndef OSTRAK_TESTS_COMMON_SCOPED_SERVICES_H_
#define OSTRAK_TESTS_COMMON_SCOPED_SERVICES_H_

namespace ostrak_test {

template <class Table>
class ScopedServices {
 public:
  using Current = const Table& (*)();
  using Register = const Table* (*)(const Table*);

  ScopedServices(Current current, Register install)
      : install_(install), table_(current()), previous_(install(&table_)) {}
  ~ScopedServices() { install_(previous_); }
  ScopedServices(const ScopedServices&) = delete;
  ScopedServices& operator=(const ScopedServices&) = delete;

  Table* operator->() { return &table_; }
  Table& table() { return table_; }

 private:
  Register install_;
  Table table_;
  const Table* previous_;
};

}  // namespace ostrak_test

#endif  // OSTRAK_TESTS_COMMON_SCOPED_SERVICES_H_
