// An output file written under a temporary name beside its final path and
// renamed into place once complete.
//
// Until then the temporary file is removed on every way out: a refusal or
// an exception (the destructor), and an interruption. On Linux SIGINT and
// SIGTERM remove it from the signal handler and then end the process as
// the signal would have. On Windows Ctrl-C, Ctrl-Break and closing the
// console run the handler on a thread of their own: it waits for a write
// in progress, closes the file (Windows does not delete an open file) and
// deletes it, and the process then ends as it would have.
//
// One temporary output at a time per process (the tool writes one file
// after another).
#ifndef AUTHOR_SAVERPACK_TEMPORARY_OUTPUT_H
#define AUTHOR_SAVERPACK_TEMPORARY_OUTPUT_H

#include <cstdint>
#include <filesystem>
#include <span>

namespace saverpack {

class TemporaryOutput {
public:
    // Creates the temporary file in path's directory. Throws Refusal.
    explicit TemporaryOutput(const std::filesystem::path& path);
    ~TemporaryOutput();
    TemporaryOutput(const TemporaryOutput&) = delete;
    TemporaryOutput& operator=(const TemporaryOutput&) = delete;

    // Appends bytes. Throws Refusal (the temporary file is removed).
    void Write(std::span<const std::uint8_t> bytes);

    // Completes the file and renames it to the final path, replacing a file
    // there. Throws Refusal (the temporary file is removed).
    void Commit();

    const std::filesystem::path& TemporaryPath() const { return temp_; }

private:
    void Discard();
    std::filesystem::path path_, temp_;
    bool open_ = false;
};

// Writes bytes to path through a TemporaryOutput.
void WriteAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

}  // namespace saverpack

#endif
