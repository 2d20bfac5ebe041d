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
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace saverpack {

// A directory below a root, reached without following a link: each
// component is opened as a directory that is no link (a symbolic link; on
// Windows any reparse point), and held open while files are written in it.
// The root itself is taken as named.
class OutputDirectory {
public:
    enum class Mode {
        Look,  // makes nothing: stops at the first component that does not exist
        Make   // makes the root and every missing component
    };

    // Throws Refusal naming the first component that is a link or no directory.
    OutputDirectory(const std::filesystem::path& root, const std::vector<std::filesystem::path>& components, Mode mode);
    ~OutputDirectory();
    OutputDirectory(const OutputDirectory&) = delete;
    OutputDirectory& operator=(const OutputDirectory&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    bool Exists() const { return exists_; }  // every component was found (or made)

    // Throws Refusal when name exists in the directory as a link or as
    // anything but a regular file: writing there would follow the link or
    // replace what is no file of ours.
    void CheckFileSlot(const std::filesystem::path& name) const;

    // Hands the bytes of the regular file name in the directory to sink, in
    // blocks, opened without following a link; returns how many. Throws
    // Refusal.
    std::uint64_t ReadFile(const std::filesystem::path& name,
                           const std::function<void(std::span<const std::uint8_t>)>& sink) const;

private:
    friend class TemporaryOutput;
    std::filesystem::path path_;
    bool exists_ = false;
#ifdef _WIN32
    std::vector<void*> held_;  // the root and each component, none to be renamed or deleted meanwhile
#else
    int fd_ = -1;
#endif
};

class TemporaryOutput {
public:
    // Creates the temporary file in path's directory. Throws Refusal.
    explicit TemporaryOutput(const std::filesystem::path& path);
    // Creates the temporary file in dir (which must exist, and outlive the
    // output) for dir/name, without following a link; refuses a link or
    // anything but a regular file at dir/name. Throws Refusal.
    TemporaryOutput(const OutputDirectory& dir, const std::filesystem::path& name);
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
    void Create(const std::filesystem::path& dir, int dirFd);
    void Discard();
    std::filesystem::path path_, temp_;
    int dirFd_ = -1;                      // POSIX: the directory the names below are in
    std::string tempName_, finalName_;
    bool open_ = false;
};

// Writes bytes to path through a TemporaryOutput.
void WriteAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

}  // namespace saverpack

#endif
