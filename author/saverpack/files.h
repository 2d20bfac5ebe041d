// Files of the tool: its inputs, its atomically written outputs, and the
// installer executable it packs into.
#ifndef AUTHOR_SAVERPACK_FILES_H
#define AUTHOR_SAVERPACK_FILES_H

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace saverpack {

// A request the tool refuses; what() says why. Nothing has been written.
class Refusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string Quoted(const std::filesystem::path& path);

// The size of a file to be read. Throws Refusal naming `what` (e.g.
// "saver") when the file is missing or not a regular file.
std::uint64_t CheckedFileSize(const std::filesystem::path& path, const std::string& what);

// A regular file open for reading at offsets. A FIFO, a device or a
// directory is refused at once, naming it: the file is looked at before it
// is opened and opened without waiting for a FIFO's writer, then looked at
// again through its handle before anything is read.
class InputFile {
public:
    // Throws Refusal naming `what` (e.g. "installer") and the path.
    InputFile(const std::filesystem::path& path, const std::string& what);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    std::uint64_t Size() const { return size_; }

    // Reads count bytes at `at`, or fewer where the file ends (or a read fails).
    std::uint32_t ReadAt(std::uint64_t at, void* buffer, std::uint32_t count);

private:
#ifdef _WIN32
    void* handle_;
#else
    int fd_;
#endif
    std::uint64_t size_ = 0;
};

// The bytes of a pipe (a FIFO, or `--data <(command)` of the shell), read
// to its end, which comes at once when nothing has it open for writing;
// nullopt when path is no pipe. Throws Refusal when the pipe yields `limit`
// bytes or more, or cannot be read. Windows has no such pipes by path:
// always nullopt there.
std::optional<std::vector<std::uint8_t>> ReadPipe(const std::filesystem::path& path, const std::string& what,
                                                  std::uint64_t limit);

// The whole file, with the refusals of InputFile and for a read error.
std::vector<std::uint8_t> ReadWholeFile(const std::filesystem::path& path, const std::string& what);

// Throws Refusal unless a file can be put at path: its directory exists and
// path is not a directory itself.
void CheckOutputPath(const std::filesystem::path& path);

// An input of a command, named for messages ("saver", "installer executable").
struct NamedInput {
    std::string what;
    std::filesystem::path path;
};

// Throws Refusal when output is one of the inputs: the same file, however
// spelled or linked (compared by file identity, not by name).
void CheckOutputIsNoInput(const std::filesystem::path& output, const std::vector<NamedInput>& inputs);

// Where the tool looks for its installer executable when none is given, in
// this order: beside the tool, in the win32 build tree beside the native
// one, and in the install prefix's share/saverpack.
std::vector<std::filesystem::path> StubCandidates();

// The given stub, or the first candidate that exists. Throws Refusal
// listing where it looked when there is none.
std::filesystem::path FindStub(const std::optional<std::filesystem::path>& given);

// A path from UTF-8 text (the command line's encoding on every platform).
std::filesystem::path PathFromUtf8(const std::string& text);

// A path as UTF-8 text, for messages and JSON.
std::string PathToUtf8(const std::filesystem::path& path);

}  // namespace saverpack

#endif
