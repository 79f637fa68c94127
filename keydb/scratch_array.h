// ScratchArray: a short-lived array of trivially copyable values in a
// context's memory, freed when it goes out of scope. For work arrays whose
// allocation must fail as kQOXErrOutOfMemory through the context's memory
// manager rather than throw.
//
// Thread safety: none (the context's thread).
#ifndef OSTRAK_KEYDB_SCRATCH_ARRAY_H_
#define OSTRAK_KEYDB_SCRATCH_ARRAY_H_

#include <cstddef>
#include <type_traits>

#include "foundation/context.h"
#include "foundation/errors.h"

template <typename T>
class ScratchArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  explicit ScratchArray(QOXContext* context) : context_(context) {}
  ScratchArray(const ScratchArray&) = delete;
  ScratchArray& operator=(const ScratchArray&) = delete;
  ~ScratchArray() { Release(); }

  // Replaces the array by one of n values (uninitialised); false when
  // memory is lacking (the array is then empty). n = 0 always succeeds.
  bool Make(size_t n) {
    Release();
    if (n == 0) return true;
    data_ = static_cast<T*>(qoxContextMemAlloc(context_, n * sizeof(T), 0));
    if (data_ == nullptr) return false;
    size_ = n;
    room_ = n;
    return true;
  }
  // Hands the block to the caller (freed with qoxContextMemFree).
  T* Take() {
    T* p = data_;
    data_ = nullptr;
    size_ = 0;
    room_ = 0;
    return p;
  }

  // Appends a value, growing the array by doubling; false when memory is
  // lacking (the array is then unchanged).
  bool Push(const T& value) {
    if (size_ == room_) {
      const size_t room = room_ == 0 ? 16 : room_ * 2;
      void* block = data_;
      if (qoxContextMemRealloc(context_, &block, room * sizeof(T), 0) != kQOXErrNoErr) return false;
      data_ = static_cast<T*>(block);
      room_ = room;
    }
    data_[size_++] = value;
    return true;
  }

  T& operator[](size_t i) { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  size_t size() const { return size_; }

 private:
  void Release() {
    if (data_ != nullptr) qoxContextMemFree(context_, data_);
    data_ = nullptr;
    size_ = 0;
    room_ = 0;
  }

  QOXContext* context_;
  T* data_ = nullptr;
  size_t size_ = 0;
  size_t room_ = 0;
};

#endif  // OSTRAK_KEYDB_SCRATCH_ARRAY_H_
