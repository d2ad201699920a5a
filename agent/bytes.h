// Bytes: an owned, growable byte buffer whose growth does not zero-fill.
//
// Bodies can be a gigabyte; std::string and std::vector would write every byte once before
// read() writes it again. Bytes allocates with malloc/realloc (large blocks are mmap'd, so
// realloc can move pages instead of copying) and leaves new capacity uninitialised.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace vesk {

class Bytes {
  public:
    Bytes() = default;
    explicit Bytes(std::string_view s) { assign(s); }
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    Bytes(Bytes&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)),
          size_(std::exchange(o.size_, 0)),
          cap_(std::exchange(o.cap_, 0)) {}
    Bytes& operator=(Bytes&& o) noexcept {
        if (this != &o) {
            std::free(data_);
            data_ = std::exchange(o.data_, nullptr);
            size_ = std::exchange(o.size_, 0);
            cap_ = std::exchange(o.cap_, 0);
        }
        return *this;
    }
    ~Bytes() { std::free(data_); }

    char* data() { return data_; }
    const char* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return cap_; }
    bool empty() const { return size_ == 0; }
    std::string_view view() const { return {data_ ? data_ : "", size_}; }
    std::string str() const { return std::string(view()); }

    // Ensures room for n bytes in total. Throws std::bad_alloc when memory is short.
    void reserve(std::size_t n) {
        if (n <= cap_) return;
        if (!try_reserve(n)) throw std::bad_alloc();
    }
    // As reserve, but reports failure instead of throwing.
    bool try_reserve(std::size_t n) {
        if (n <= cap_) return true;
        void* p = std::realloc(data_, n ? n : 1);
        if (!p) return false;
        data_ = static_cast<char*>(p);
        cap_ = n;
        return true;
    }
    // Sets the size; bytes past the old size are uninitialised.
    void resize_uninitialized(std::size_t n) {
        reserve(n);
        size_ = n;
    }
    void clear() { size_ = 0; }
    // Grows geometrically so repeated appends stay linear.
    void append(const void* p, std::size_t n) {
        if (n == 0) return;
        if (size_ + n > cap_) reserve(std::max(size_ + n, cap_ + cap_ / 2 + 4096));
        std::memcpy(data_ + size_, p, n);
        size_ += n;
    }
    void append(std::string_view s) { append(s.data(), s.size()); }
    void assign(std::string_view s) {
        clear();
        append(s);
    }
    // Returns the memory to the system now rather than when the owner goes away.
    void release() {
        std::free(data_);
        data_ = nullptr;
        size_ = cap_ = 0;
    }

  private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
};

}  // namespace vesk
