// The slot of a registered table: how a lower layer calls a higher one.
//
// A lower library that must call into a higher one declares a table of typed
// function pointers (a struct whose members are named after the calls) and
// keeps one QOXServiceSlot for it. Until the higher library registers its
// table, the slot answers with the lower library's stand-ins: a table of the
// same type whose entries give each call's defined "not available" result.
// The higher library defines the real functions under their own names and
// registers a table of them at start-up; the program's wiring
// (server/main/wiring.h) is the one place that does so.
//
// Each table has two calls beside its struct, written with this slot:
//   const T& <prefix><Name>Services();            the table in force
//   const T* <prefix>Register<Name>Services(const T* table);
//       installs table (null: the stand-ins again) and returns the table it
//       replaces, null when that was the stand-ins.
// A registered table sets every member. A test installs a double the same
// way: it copies the table in force, replaces members and registers the copy
// (tests/common/scoped_services.h restores the previous table afterwards).
//
// Thread safety: the slot is one atomic pointer, so any thread may call
// through it at any time; registration is meant for start-up (and tests), while
// no call through the slot is in flight, since the table it replaces must
// stay alive while a caller may still be using it.
#ifndef OSTRAK_FOUNDATION_SERVICE_TABLE_H_
#define OSTRAK_FOUNDATION_SERVICE_TABLE_H_

#include <atomic>

template <class Table>
class QOXServiceSlot {
 public:
  constexpr explicit QOXServiceSlot(const Table* standIns) : standIns_(standIns), current_(standIns) {}
  QOXServiceSlot(const QOXServiceSlot&) = delete;
  QOXServiceSlot& operator=(const QOXServiceSlot&) = delete;

  const Table& get() const { return *current_.load(std::memory_order_acquire); }

  const Table* install(const Table* table) {
    const Table* old = current_.exchange(table != nullptr ? table : standIns_, std::memory_order_acq_rel);
    return old == standIns_ ? nullptr : old;
  }

 private:
  const Table* const standIns_;
  std::atomic<const Table*> current_;
};

#endif  // OSTRAK_FOUNDATION_SERVICE_TABLE_H_
