#include <chrono>
#include <cstdio>
#include <string>

#include <fmt/format.h>
#include <unistd.h>

#include "cli/kevo_cli.h"

namespace {

using Clock = std::chrono::steady_clock;

// A run that ends within a second needs no progress line; a line redrawn
// more often than this is only flicker.
constexpr std::chrono::milliseconds kQuietStart(1000);
constexpr std::chrono::milliseconds kRedrawEvery(200);

}  // namespace

kevo_runStatus::kevo_runStatus(const char* name, bool quiet)
    : name_(name), quiet_(quiet), terminal_(isatty(STDERR_FILENO) == 1), start_(Clock::now())
{
}

void kevo_runStatus::clearProgress()
{
    if (shownWidth_ > 0) {
        std::fprintf(stderr, "\r%*s\r", static_cast<int>(shownWidth_), "");
        shownWidth_ = 0;
    }
}

void kevo_runStatus::say(const std::string& text)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    clearProgress();
    std::fprintf(stderr, "%s: %s\n", name_, text.c_str());
}

void kevo_runStatus::fileDone(size_t total)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    ++done_;
    if (!terminal_ || quiet_) {
        return;
    }
    const Clock::time_point now = Clock::now();
    if (now - start_ < kQuietStart || now - lastDrawn_ < kRedrawEvery) {
        return;
    }
    lastDrawn_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const std::string of = total > 0 ? fmt::format(" of {}", total) : "";
    const std::string line = fmt::format("{}: {}{} files, {:.0f} files/s", name_, done_, of,
                                         static_cast<double>(done_) / seconds);
    std::fprintf(stderr, "\r%s%*s", line.c_str(),
                 static_cast<int>(shownWidth_ > line.size() ? shownWidth_ - line.size() : 0), "");
    shownWidth_ = std::max(shownWidth_, line.size());
}

void kevo_runStatus::summary(const std::string& text)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    clearProgress();
    if (!quiet_) {
        std::fprintf(stderr, "%s: %s\n", name_, text.c_str());
    }
}
