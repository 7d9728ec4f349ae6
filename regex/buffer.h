#pragma once
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

// Arrays of the regular-expression engine. Items are plain values (bytes, ints,
// pointers), so the storage is moved with memcpy and grown with realloc. The
// first few items live inside the buffer itself: a search result or a short
// pattern string costs no heap block.
template <class T>
class CBufferRefT {
 public:
  CBufferRefT() = default;
  CBufferRefT(const T* p, int n) : ref_(p), size_(n) {}

  int GetSize() const { return size_; }
  const T& operator[](int i) const { return ref_[i]; }
  // A char buffer with no array reads as an empty string.
  const T* GetBuffer() const {
    if constexpr (std::is_same_v<T, char>) {
      if (!ref_) return "";
    }
    return ref_;
  }

 protected:
  // Never deleted through the base: no table of virtual functions in
  // every buffer (a compile makes dozens, a search result is one).
  ~CBufferRefT() = default;

  const T* ref_ = nullptr;
  int size_ = 0;
};

template <class T>
class CBufferT : public CBufferRefT<T> {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  CBufferT() = default;
  CBufferT(const T* p, int n) { Append(p, n); }
  CBufferT(const CBufferT& o) : CBufferRefT<T>() { Append(o.buf_, o.size_); }
  CBufferT& operator=(const CBufferT& o) {
    if (this != &o) {
      size_ = 0;
      Append(o.buf_, o.size_);
    }
    return *this;
  }
  ~CBufferT() {
    if (buf_ != inline_) std::free(buf_);
  }

  T& operator[](int i) { return buf_[i]; }
  const T& operator[](int i) const { return buf_[i]; }
  T* Data() { return buf_; }

  void Push(const T& v) {
    if (size_ >= cap_) Grow(size_ + 1);
    buf_[size_++] = v;
    this->ref_ = buf_;
  }
  bool Pop(T& v) {
    if (size_ <= 0) {
      v = T();
      return false;
    }
    v = buf_[--size_];
    return true;
  }
  // Makes index i valid; every new entry gets the fill value.
  void Prepare(int i, T fill = T()) {
    if (i < size_) return;
    if (i >= cap_) Grow(i + 1);
    for (int k = size_; k <= i; ++k) buf_[k] = fill;
    size_ = i + 1;
    this->ref_ = buf_;
  }
  // Appends n items; a char buffer can keep a zero byte after them.
  void Append(const T* p, int n, bool zeroAfter = false) {
    if (n < 0) n = 0;
    int need = size_ + n + (zeroAfter ? 1 : 0);
    if (need > cap_) Grow(need);
    if (n > 0) std::memcpy(buf_ + size_, p, sizeof(T) * size_t(n));
    size_ += n;
    if (zeroAfter) buf_[size_] = T();
    this->ref_ = buf_;
  }
  // Makes room for n more items and gives the first of them (the caller
  // fills all n).
  T* Extend(int n) {
    if (size_ + n > cap_) Grow(size_ + n);
    T* p = buf_ + size_;
    size_ += n;
    this->ref_ = buf_;
    return p;
  }
  void Truncate(int n) {
    if (n >= 0 && n < size_) size_ = n;
  }
  void Restore(int n) { Truncate(n); }
  void Clear() { size_ = 0; }
  // Hands the heap array to the caller (free it with std::free).
  T* Detach() {
    T* p = buf_;
    if (buf_ == inline_) {
      p = nullptr;
      if (this->ref_) {
        p = static_cast<T*>(std::malloc(sizeof inline_));
        if (!p) throw std::bad_alloc();
        std::memcpy(p, inline_, sizeof inline_);
      }
    }
    buf_ = inline_;
    this->ref_ = nullptr;
    size_ = 0;
    cap_ = kInline;
    return p;
  }

 private:
  using CBufferRefT<T>::size_;

  static constexpr int kInline = sizeof(T) >= 32 ? 1 : int(32 / sizeof(T));

  void Grow(int need) {
    int cap = cap_ * 2;
    if (cap < 2 * kInline) cap = 2 * kInline;
    if (cap < need) cap = (need + 7) / 8 * 8;
    void* p;
    if (buf_ == inline_) {
      p = std::malloc(sizeof(T) * size_t(cap));
      if (p) std::memcpy(p, inline_, sizeof inline_);
    } else {
      p = std::realloc(buf_, sizeof(T) * size_t(cap));
    }
    if (!p) throw std::bad_alloc();
    buf_ = static_cast<T*>(p);
    cap_ = cap;
  }

  T inline_[kInline] = {};
  T* buf_ = inline_;
  int cap_ = kInline;
};
