// An ordered list whose items are kept, with the capacity of their strings,
// when the list is cleared, so that filling it again in steady state needs
// no allocation. Readers see a plain sequence: size, indexing, iteration.
#ifndef BREVANTO_XML_REPLY_LIST_H_
#define BREVANTO_XML_REPLY_LIST_H_

#include <cstddef>
#include <initializer_list>
#include <vector>

template <typename T>
class _reply_list {
 public:
  _reply_list() = default;
  _reply_list(std::initializer_list<T> items) : items_(items), size_(items.size()) {}
  // A copy holds the live items only, not the spare ones kept for reuse.
  _reply_list(const _reply_list& other) : items_(other.begin(), other.end()), size_(other.size_) {}
  _reply_list& operator=(const _reply_list& other) {
    if (this != &other) {
      items_.assign(other.begin(), other.end());
      size_ = other.size_;
    }
    return *this;
  }
  _reply_list(_reply_list&&) noexcept = default;
  _reply_list& operator=(_reply_list&&) noexcept = default;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const T& operator[](std::size_t i) const { return items_[i]; }
  T& operator[](std::size_t i) { return items_[i]; }
  const T& front() const { return items_[0]; }
  const T& back() const { return items_[size_ - 1]; }
  const T* begin() const { return items_.data(); }
  const T* end() const { return items_.data() + size_; }
  T* begin() { return items_.data(); }
  T* end() { return items_.data() + size_; }

  // Forgets every item; the objects stay for reuse.
  void clear() { size_ = 0; }

  // The slot the next item is built in, holding whatever an earlier item
  // left there; commit() makes it part of the list.
  T& next_slot() {
    if (size_ == items_.size()) items_.emplace_back();
    return items_[size_];
  }
  void commit() { ++size_; }

  void push_back(const T& item) {
    next_slot() = item;
    commit();
  }

  friend bool operator==(const _reply_list& a, const _reply_list& b) {
    if (a.size_ != b.size_) return false;
    for (std::size_t i = 0; i < a.size_; ++i) {
      if (!(a.items_[i] == b.items_[i])) return false;
    }
    return true;
  }
  friend bool operator==(const _reply_list& a, const std::vector<T>& b) {
    if (a.size_ != b.size()) return false;
    for (std::size_t i = 0; i < a.size_; ++i) {
      if (!(a.items_[i] == b[i])) return false;
    }
    return true;
  }
  friend bool operator==(const std::vector<T>& a, const _reply_list& b) { return b == a; }

 private:
  std::vector<T> items_;
  std::size_t size_ = 0;
};

#endif  // BREVANTO_XML_REPLY_LIST_H_
