// A progress bar on the terminal for long compressions.
#ifndef AUTHOR_SAVERPACK_PROGRESS_H
#define AUTHOR_SAVERPACK_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace saverpack {

// Draws on stderr, and only when stderr is a terminal; nothing appears
// for work that ends within the first half second.
class ProgressBar {
public:
    explicit ProgressBar(bool wanted);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void Update(const std::string& label, std::uint64_t done, std::uint64_t total);
    void Finish();  // clears the bar

private:
    bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_, lastDraw_;
};

}  // namespace saverpack

#endif
