// Reference-counted, lock-protected records shared between a School, its classes and Python classes.
//
// Rules of use:
//  - A Handle is a counted reference; copying it shares the record, never its contents.
//  - Contents are touched only through a Guard from lock() or try_lock(), held for one step.
//  - A record is never locked twice at once by the same caller: the lock is not re-entrant
//    and waiting on it has no time limit.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace school {

// One byte: 0 free, 1 held, 2 held with someone asleep on it. A waiter sleeps on the byte
// (C++20 atomic wait) instead of spinning, and only an unlock that finds a sleeper pays for a
// wake-up, so the uncontended path is one exchange to lock and one to unlock.
class RecordLock {
 public:
  void lock() noexcept {
    if (state_.exchange(1, std::memory_order_acquire) == 0) return;
    while (state_.exchange(2, std::memory_order_acquire) != 0) state_.wait(2, std::memory_order_relaxed);
  }
  bool try_lock() noexcept {
    std::uint8_t expected = 0;
    return state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed);
  }
  void unlock() noexcept {
    if (state_.exchange(0, std::memory_order_release) == 2) state_.notify_one();
  }

 private:
  std::atomic<std::uint8_t> state_{0};
};

template <class T>
class Guard;

template <class T>
class Handle {
 public:
  template <class... Args>
  static Handle make(Args&&... args) {
    return Handle(new Record(std::forward<Args>(args)...));
  }

  Handle(const Handle& other) noexcept : record_(other.record_) { retain(); }
  Handle(Handle&& other) noexcept : record_(std::exchange(other.record_, nullptr)) {}
  Handle& operator=(Handle other) noexcept {
    std::swap(record_, other.record_);
    return *this;
  }
  ~Handle() { release(); }

  // Waits for the lock.
  Guard<T> lock() const noexcept;
  // Never waits: an empty guard means another holder has the record now.
  Guard<T> try_lock() const noexcept;

 private:
  struct Record {
    template <class... Args>
    explicit Record(Args&&... args) : value(std::forward<Args>(args)...) {}
    std::atomic<std::size_t> refs{1};
    RecordLock lock;
    T value;
  };
  explicit Handle(Record* record) noexcept : record_(record) {}

  void retain() const noexcept {
    if (record_) record_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  void release() noexcept {
    if (record_ && record_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete record_;
  }

  Record* record_;
  friend class Guard<T>;
};

// Holds a record's lock; gives access to its contents while held.
template <class T>
class Guard {
 public:
  Guard(Guard&& other) noexcept : lock_(std::exchange(other.lock_, nullptr)), value_(other.value_) {}
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
  ~Guard() {
    if (lock_) lock_->unlock();
  }

  explicit operator bool() const noexcept { return lock_ != nullptr; }
  T& operator*() const noexcept { return *value_; }
  T* operator->() const noexcept { return value_; }

 private:
  Guard(RecordLock* lock, T* value) noexcept : lock_(lock), value_(value) {}
  RecordLock* lock_;
  T* value_;
  friend class Handle<T>;
};

template <class T>
Guard<T> Handle<T>::lock() const noexcept {
  record_->lock.lock();
  return Guard<T>(&record_->lock, &record_->value);
}

template <class T>
Guard<T> Handle<T>::try_lock() const noexcept {
  if (!record_->lock.try_lock()) return Guard<T>(nullptr, nullptr);
  return Guard<T>(&record_->lock, &record_->value);
}

}  // namespace school
