#include "client/progress.h"

#include <unistd.h>

#include <cstdio>

namespace vesk::cli {

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

std::string ProgressBar::render(const std::string& label, std::uint64_t done, std::uint64_t total,
                                double seconds) {
    constexpr int kWidth = 30;
    double fraction = total ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
    int filled = static_cast<int>(fraction * kWidth);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kWidth, ' ');
    std::string rate = seconds > 0 ? human_bytes(static_cast<double>(done) / seconds) + "/s" : "-";
    return label + " [" + bar + "] " + human_bytes(static_cast<double>(done)) + " / " +
           human_bytes(static_cast<double>(total)) + "  " + rate;
}

void ProgressBar::update(const std::string& label, std::uint64_t done, std::uint64_t total) {
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
    std::string line = "\r" + render(label, done, total, seconds) + "\x1b[K";
    if (finished) line += "\n";
    ssize_t ignored = ::write(fd_, line.data(), line.size());
    (void)ignored;
}

}  // namespace vesk::cli
