// Terminal progress bar.
#include "author/saverpack/progress.h"

#ifdef _WIN32
#include <io.h>
#define ISATTY _isatty
#define FILENO _fileno
#else
#include <unistd.h>
#define ISATTY isatty
#define FILENO fileno
#endif

namespace saverpack {
namespace {

constexpr auto kDelay = std::chrono::milliseconds(500);
constexpr auto kInterval = std::chrono::milliseconds(100);
constexpr int kWidth = 30;

}  // namespace

ProgressBar::ProgressBar(bool wanted)
    : enabled_(wanted && ISATTY(FILENO(stderr))), start_(std::chrono::steady_clock::now()) {}

ProgressBar::~ProgressBar() { Finish(); }

void ProgressBar::Update(const std::string& label, std::uint64_t done, std::uint64_t total) {
    if (!enabled_ || total == 0) return;
    auto now = std::chrono::steady_clock::now();
    if (now - start_ < kDelay || (drawn_ && now - lastDraw_ < kInterval)) return;
    lastDraw_ = now;
    drawn_ = true;
    int filled = int(kWidth * done / total);
    std::string bar(filled, '=');
    bar.resize(kWidth, ' ');
    std::fprintf(stderr, "\r[%s] %3d%%  %-40.40s", bar.c_str(), int(100 * done / total), label.c_str());
    std::fflush(stderr);
}

void ProgressBar::Finish() {
    if (!drawn_) return;
    std::fprintf(stderr, "\r%*s\r", kWidth + 48, "");
    std::fflush(stderr);
    drawn_ = false;
}

}  // namespace saverpack
