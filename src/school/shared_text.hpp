// Immutable text shared by reference count.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace school {

// A class's name is also the grade of every pair that names the class, in the records of all
// the teachers who teach it and of every substitute a run gives it: one allocation serves them
// all, and a pair holds one pointer instead of a string of its own. The count is atomic
// because texts are shared between records that different threads may lock.
class SharedText {
 public:
  SharedText() noexcept = default;  // the empty text, which allocates nothing
  explicit SharedText(std::string_view text) {
    if (text.empty()) return;
    void* memory = ::operator new(sizeof(Block) + text.size());
    block_ = new (memory) Block{{1}, text.size()};
    std::memcpy(bytes(), text.data(), text.size());
  }
  SharedText(const SharedText& other) noexcept : block_(other.block_) {
    if (block_) block_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  SharedText(SharedText&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  SharedText& operator=(SharedText other) noexcept {
    std::swap(block_, other.block_);
    return *this;
  }
  // Replaces the text with a copy of `text`; on an allocation failure the text is unchanged.
  SharedText& operator=(std::string_view text) { return *this = SharedText(text); }
  ~SharedText() {
    if (block_ && block_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      block_->~Block();
      ::operator delete(block_);
    }
  }

  std::string_view view() const noexcept {
    // The empty text still points at bytes, as a string's does, so callers may copy from it.
    return block_ ? std::string_view(bytes(), block_->size) : std::string_view("", 0);
  }
  operator std::string_view() const noexcept { return view(); }
  std::size_t size() const noexcept { return block_ ? block_->size : 0; }

  friend bool operator==(const SharedText& a, std::string_view b) noexcept { return a.view() == b; }
  // Copies of one text are equal without reading it: a teacher's name and the School's copy of
  // it are usually one text.
  friend bool operator==(const SharedText& a, const SharedText& b) noexcept {
    return a.block_ == b.block_ || a.view() == b.view();
  }

 private:
  struct Block {
    std::atomic<std::size_t> refs;
    std::size_t size;  // the bytes follow the block
  };
  char* bytes() const noexcept { return reinterpret_cast<char*>(block_) + sizeof(Block); }

  Block* block_ = nullptr;
};

}  // namespace school
