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
    // The file that the next transfers are of; shown by its last path component.
    void set_name(const std::string& name);
    // Redraws at most ten times a second, and once more when done reaches total (then the
    // line is finished with a line feed so later output starts on a fresh line).
    void update(std::uint64_t done, std::uint64_t total);
    // Ends a bar that is still on its line, so that a message written next starts on its own.
    void break_line();

    // The text of one frame of the bar, without the leading carriage return: name, percentage,
    // bar, bytes, rate, and the time left (or, once done, the time taken).
    static std::string render(const std::string& name, std::uint64_t done, std::uint64_t total,
                              double seconds);

  private:
    int fd_;
    std::mutex mu_;
    std::string name_;
    bool open_ = false;  // a bar is drawn and its line not yet ended
    std::uint64_t total_ = 0;
    std::uint64_t done_ = 0;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point last_draw_;
};

// "12.3 MiB" style sizes.
std::string human_bytes(double bytes);

}  // namespace vesk::cli
