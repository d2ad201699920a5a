// Bytes: an owned, growable byte buffer whose growth does not zero-fill.
//
// Bodies can be a gigabyte; std::string and std::vector would write every byte once before
// read() writes it again. Bytes allocates with malloc/realloc (large blocks are mmap'd, so
// realloc can move pages instead of copying) and leaves new capacity uninitialised.
//
// Blocks of kLargeBlock bytes or more are not returned to the system at once: the last few
// are kept and handed to the next buffers that grow past kTakeFrom. A fresh page costs the
// kernel a fault and a clear, and on a virtual machine often the host a fault of its own, which
// for a large body is slower than the copy that fills it; back-to-back large transfers reuse
// pages already present. A large reply can hold three such blocks at once (a program's standard
// output, its standard error, and the header that carries the latter), so three are kept.
// What is kept while idle is bounded: no kept block keeps more pages than the largest body
// released in the last 20 seconds, and 20 seconds after the last release nothing is kept.

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
inline constexpr std::size_t kMaxKept = 3;
// Growth to this size or more may take a kept block: a body that has come this far is likely
// to go much further, and moving its first few megabytes over costs less than faulting in the
// pages that would have followed.
inline constexpr std::size_t kTakeFrom = 4u << 20;
// Which kept block a growing buffer takes: the smallest that fits, leaving the larger ones to
// bodies that need them, or the largest, for a body that will likely outgrow every other.
enum class Pick { none, fitting, largest };
// A kept block of at least min_capacity bytes (its capacity in *capacity), or nullptr. When
// none is large enough, the largest is freed: a bigger body than any kept has come, and the
// agent is not to hold that one beside it.
void* take(std::size_t min_capacity, Pick pick, std::size_t* capacity);
// Takes ownership of a malloc'd block of kLargeBlock bytes or more whose first `used` bytes
// were the body: keeps it for a while (in place of the smallest kept, when kMaxKept are) or
// frees it.
void give(void* block, std::size_t capacity, std::size_t used);
// Frees the kept blocks now, if any.
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
    // As reserve, but reports failure instead of throwing. `pick` says which kept large block
    // growth may take, if any.
    bool try_reserve(std::size_t n, large_blocks::Pick pick = large_blocks::Pick::fitting) {
        if (n <= cap_) return true;
        if (pick != large_blocks::Pick::none && n >= large_blocks::kTakeFrom) {
            std::size_t kept_cap = 0;
            if (void* kept = large_blocks::take(n, pick, &kept_cap)) {
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
