#include "client/progress.h"

#include <unistd.h>

#include <cstdio>

namespace vesk::cli {

namespace {

// "1:05", or "1:02:03" from an hour on.
std::string clock_time(double seconds) {
    auto s = static_cast<unsigned long>(seconds + 0.5);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%lu:%02lu:%02lu", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%lu:%02lu", s / 60, s % 60);
    return buf;
}

}  // namespace

std::string human_bytes(double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024 && u < 4) {
        bytes /= 1024;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
    return buf;
}

std::string ProgressBar::render(const std::string& name, std::uint64_t done, std::uint64_t total,
                                double seconds) {
    constexpr int kWidth = 20;
    constexpr std::size_t kNameWidth = 24;
    double fraction = total ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
    int filled = static_cast<int>(fraction * kWidth);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kWidth, ' ');
    std::size_t slash = name.find_last_of('/');
    std::string shown =
        slash == std::string::npos || slash + 1 == name.size() ? name : name.substr(slash + 1);
    if (shown.size() > kNameWidth) shown = shown.substr(0, kNameWidth - 3) + "...";
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100));
    double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    std::string when = done >= total ? "in " + clock_time(seconds)
                       : rate > 0 ? clock_time(static_cast<double>(total - done) / rate) + " left"
                                  : "--:-- left";
    return shown + " " + percent + " [" + bar + "] " + human_bytes(static_cast<double>(done)) +
           " / " + human_bytes(static_cast<double>(total)) + "  " +
           (rate > 0 ? human_bytes(rate) + "/s" : "-") + "  " + when;
}

void ProgressBar::set_name(const std::string& name) {
    std::lock_guard<std::mutex> lock(mu_);
    name_ = name;
}

void ProgressBar::update(std::uint64_t done, std::uint64_t total) {
    std::lock_guard<std::mutex> lock(mu_);
    auto now = std::chrono::steady_clock::now();
    // Each transfer is reported from its first chunk on; a new one restarts the clock.
    if (total != total_ || done < done_) {
        total_ = total;
        started_ = now;
        last_draw_ = {};
    }
    done_ = done;
    bool finished = done >= total;
    if (!finished && now - last_draw_ < std::chrono::milliseconds(100)) return;
    last_draw_ = now;
    double seconds = std::chrono::duration<double>(now - started_).count();
    std::string line = "\r" + render(name_, done, total, seconds) + "\x1b[K";
    if (finished) line += "\n";
    open_ = !finished;
    ssize_t ignored = ::write(fd_, line.data(), line.size());
    (void)ignored;
}

void ProgressBar::break_line() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!open_) return;
    open_ = false;
    ssize_t ignored = ::write(fd_, "\n", 1);
    (void)ignored;
}

}  // namespace vesk::cli
