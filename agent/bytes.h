// Bytes: an owned, growable byte buffer whose growth does not zero-fill.
//
// Bodies can be a gigabyte; std::string and std::vector would write every byte once before
// read() writes it again. Bytes allocates with malloc/realloc (large blocks are mmap'd, so
// realloc can move pages instead of copying) and leaves new capacity uninitialised.
//
// Blocks of kLargeBlock bytes or more are not returned to the system at once: the last one is
// kept and handed to the next buffer that grows past kTakeFrom. A fresh page costs the kernel
// a fault and a clear, and on a virtual machine often the host a fault of its own, which for a
// large body is slower than the copy that fills it; back-to-back large transfers reuse pages
// already present. What is kept while idle is bounded: at most the largest body released in
// the last 20 seconds stays resident, and 20 seconds after the last release nothing does.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace vesk {

namespace large_blocks {
inline constexpr std::size_t kLargeBlock = 64u << 20;
// Growth to this size or more may take the kept block: a body that has come this far is likely
// to go much further, and moving its first few megabytes over costs less than faulting in the
// pages that would have followed.
inline constexpr std::size_t kTakeFrom = 4u << 20;
// A kept block of at least min_capacity bytes (its capacity in *capacity), or nullptr. A kept
// block that is too small is freed, so two large blocks are not held at once.
void* take(std::size_t min_capacity, std::size_t* capacity);
// Takes ownership of a malloc'd block of kLargeBlock bytes or more whose first `used` bytes
// were the body: keeps it for a while or frees it.
void give(void* block, std::size_t capacity, std::size_t used);
// Frees the kept block now, if any.
void drop();
}  // namespace large_blocks

class Bytes {
  public:
    Bytes() = default;
    explicit Bytes(std::string_view s) { append(s); }
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    Bytes(Bytes&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)),
          size_(std::exchange(o.size_, 0)),
          cap_(std::exchange(o.cap_, 0)) {}
    Bytes& operator=(Bytes&& o) noexcept {
        if (this != &o) {
            free_block();
            data_ = std::exchange(o.data_, nullptr);
            size_ = std::exchange(o.size_, 0);
            cap_ = std::exchange(o.cap_, 0);
        }
        return *this;
    }
    ~Bytes() { free_block(); }

    char* data() { return data_; }
    const char* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return cap_; }
    bool empty() const { return size_ == 0; }
    std::string_view view() const { return {data_ ? data_ : "", size_}; }

    // Ensures room for n bytes in total. Throws std::bad_alloc when memory is short.
    void reserve(std::size_t n) {
        if (n <= cap_) return;
        if (!try_reserve(n)) throw std::bad_alloc();
    }
    // As reserve, but reports failure instead of throwing. With reuse_kept false, a kept large
    // block is left for another buffer that needs it more.
    bool try_reserve(std::size_t n, bool reuse_kept = true) {
        if (n <= cap_) return true;
        if (reuse_kept && n >= large_blocks::kTakeFrom) {
            std::size_t kept_cap = 0;
            if (void* kept = large_blocks::take(n, &kept_cap)) {
                if (size_) std::memcpy(kept, data_, size_);
                free_block();
                data_ = static_cast<char*>(kept);
                cap_ = kept_cap;
                return true;
            }
        }
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

    // Grows geometrically so repeated appends stay linear.
    void append(const void* p, std::size_t n) {
        if (n == 0) return;
        if (size_ + n > cap_) reserve(std::max(size_ + n, cap_ + cap_ / 2 + 4096));
        std::memcpy(data_ + size_, p, n);
        size_ += n;
    }
    void append(std::string_view s) { append(s.data(), s.size()); }
    // Gives the memory back now rather than when the owner goes away.
    void release() {
        free_block();
        data_ = nullptr;
        size_ = cap_ = 0;
    }

  private:
    void free_block() {
        if (cap_ >= large_blocks::kLargeBlock) {
            large_blocks::give(data_, cap_, size_);
        } else {
            std::free(data_);
        }
    }

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
};

}  // namespace vesk
