// A one-line progress bar for large transfers, drawn on a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace vesk::cli {

class ProgressBar {
  public:
    explicit ProgressBar(int fd) : fd_(fd) {}
    // Redraws at most ten times a second, and once more when done reaches total (then the
    // line is finished with a line feed so later output starts on a fresh line).
    void update(const std::string& label, std::uint64_t done, std::uint64_t total);

    // The text of one frame of the bar, without the leading carriage return.
    static std::string render(const std::string& label, std::uint64_t done, std::uint64_t total,
                              double seconds);

  private:
    int fd_;
    std::mutex mu_;
    std::uint64_t total_ = 0;
    std::uint64_t done_ = 0;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point last_draw_;
};

// "12.3 MiB" style sizes.
std::string human_bytes(double bytes);

}  // namespace vesk::cli
