// The access flag each instance carries, and the scoped borrows that take and release it.
#pragma once

#include <cstddef>
#include <limits>

#include "module/errors.hpp"

namespace rotavel {

// 0: free; 1..max-1: that many shared borrows; max: one exclusive borrow. A plain word:
// it is only touched with the interpreter lock held.
struct BorrowFlag {
  static constexpr std::size_t exclusive = std::numeric_limits<std::size_t>::max();
  std::size_t value = 0;
};

[[noreturn]] void throw_already_borrowed();
[[noreturn]] void throw_already_mutably_borrowed();

class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag.value >= BorrowFlag::exclusive - 1) throw_already_mutably_borrowed();
    ++flag.value;
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() { --flag_.value; }

 private:
  BorrowFlag& flag_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag.value != 0) throw_already_borrowed();
    flag.value = BorrowFlag::exclusive;
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() { flag_.value = 0; }

 private:
  BorrowFlag& flag_;
};

// Copying a record by value needs no borrow of its own, only that nobody is changing it.
inline void check_for_copying(const BorrowFlag& flag) {
  if (flag.value == BorrowFlag::exclusive) throw_already_mutably_borrowed();
}

}  // namespace rotavel
