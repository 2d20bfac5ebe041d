// Input files, output paths, and the installer executable's whereabouts.
#include "author/saverpack/files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace saverpack {
namespace {

#ifdef _WIN32
std::wstring Widen(const std::string& utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring wide(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), n);
    return wide;
}

std::string Narrow(const std::wstring& wide) {
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), utf8.data(), n, nullptr, nullptr);
    return utf8;
}

fs::path OwnExecutable() {
    std::wstring buffer(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
    buffer.resize(n);
    return fs::path(buffer);
}
#else
fs::path OwnExecutable() {
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : self;
}
#endif

// What a file is that is no regular file, for messages.
std::string Kind(fs::file_type type) {
    switch (type) {
    case fs::file_type::directory: return "a directory";
    case fs::file_type::fifo: return "a FIFO";
    case fs::file_type::character:
    case fs::file_type::block: return "a device";
    case fs::file_type::socket: return "a socket";
    default: return "neither a file nor a directory";
    }
}

Refusal NotRegular(const std::string& what, const fs::path& path, fs::file_type type) {
    return Refusal(what + " " + Quoted(path) + " is not a regular file: it is " + Kind(type));
}

}  // namespace

fs::path PathFromUtf8(const std::string& text) {
#ifdef _WIN32
    return fs::path(Widen(text));
#else
    return fs::path(text);
#endif
}

std::string PathToUtf8(const fs::path& path) {
#ifdef _WIN32
    return Narrow(path.wstring());
#else
    return path.string();
#endif
}

std::string Quoted(const fs::path& path) { return "\"" + PathToUtf8(path) + "\""; }

std::uint64_t CheckedFileSize(const fs::path& path, const std::string& what) {
    std::error_code error;
    fs::file_status status = fs::status(path, error);
    if (status.type() == fs::file_type::not_found) {
#ifdef _WIN32
        // Wine gives what the system cannot name (a FIFO) no attributes:
        // say what the system said rather than that it is missing.
        DWORD error = GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES ? GetLastError() : 0;
        if (error && error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            throw Refusal("cannot read " + what + " " + Quoted(path) + ": " + std::system_category().message(int(error)));
#endif
        throw Refusal(what + " " + Quoted(path) + " does not exist");
    }
    if (status.type() == fs::file_type::none)
        throw Refusal("cannot read " + what + " " + Quoted(path) + ": " + error.message());
    if (!fs::is_regular_file(status)) throw NotRegular(what, path, status.type());
    std::uint64_t size = fs::file_size(path, error);
    if (error) throw Refusal("cannot read " + what + " " + Quoted(path) + ": " + error.message());
    return size;
}

#ifdef _WIN32
InputFile::InputFile(const fs::path& path, const std::string& what) {
    CheckedFileSize(path, what);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw Refusal("cannot open " + what + " " + Quoted(path) + ": " +
                      std::system_category().message(int(GetLastError())));
    BY_HANDLE_FILE_INFORMATION info;
    LARGE_INTEGER size;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !GetFileSizeEx(file, &size)) {
        CloseHandle(file);
        throw Refusal(what + " " + Quoted(path) + " is not a regular file: it is a device, a pipe or a directory");
    }
    handle_ = file;
    size_ = std::uint64_t(size.QuadPart);
}

InputFile::~InputFile() { CloseHandle(handle_); }

std::uint32_t InputFile::ReadAt(std::uint64_t at, void* buffer, std::uint32_t count) {
    std::uint32_t done = 0;
    while (done < count) {
        OVERLAPPED where{};
        where.Offset = DWORD(at + done);
        where.OffsetHigh = DWORD((at + done) >> 32);
        DWORD got = 0;
        if (!ReadFile(handle_, static_cast<char*>(buffer) + done, count - done, &got, &where) || got == 0) break;
        done += got;
    }
    return done;
}
#else
InputFile::InputFile(const fs::path& path, const std::string& what) {
    CheckedFileSize(path, what);
    // Should the path have become a FIFO since, O_NONBLOCK keeps the open
    // from waiting for a writer; fstat then refuses it.
    fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) throw Refusal("cannot open " + what + " " + Quoted(path) + ": " + std::strerror(errno));
    struct stat st {};
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd_);
        throw NotRegular(what, path, S_ISDIR(st.st_mode)    ? fs::file_type::directory
                                     : S_ISFIFO(st.st_mode) ? fs::file_type::fifo
                                     : S_ISSOCK(st.st_mode) ? fs::file_type::socket
                                                            : fs::file_type::character);
    }
    size_ = std::uint64_t(st.st_size);
}

InputFile::~InputFile() { close(fd_); }

std::uint32_t InputFile::ReadAt(std::uint64_t at, void* buffer, std::uint32_t count) {
    std::uint32_t done = 0;
    while (done < count) {
        ssize_t got = pread(fd_, static_cast<char*>(buffer) + done, count - done, off_t(at + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += std::uint32_t(got);
    }
    return done;
}
#endif

#ifdef _WIN32
std::optional<std::vector<std::uint8_t>> ReadPipe(const fs::path&, const std::string&, std::uint64_t) {
    return std::nullopt;
}
#else
std::optional<std::vector<std::uint8_t>> ReadPipe(const fs::path& path, const std::string& what,
                                                  std::uint64_t limit) {
    std::error_code error;
    if (fs::status(path, error).type() != fs::file_type::fifo) return std::nullopt;
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        if (fd >= 0) close(fd);
        throw Refusal("cannot read " + what + " " + Quoted(path) + " as a pipe");
    }
    std::vector<std::uint8_t> bytes;
    std::uint8_t block[1 << 16];
    ssize_t got;
    int failure = 0;
    while ((got = read(fd, block, sizeof block)) != 0 && bytes.size() < limit) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            failure = errno;
            break;
        }
        bytes.insert(bytes.end(), block, block + got);
    }
    close(fd);
    if (failure) throw Refusal("cannot read " + what + " " + Quoted(path) + ": " + std::strerror(failure));
    if (bytes.size() >= limit)
        throw Refusal(what + " " + Quoted(path) + " yields " + std::to_string(limit) + " bytes or more");
    return bytes;
}
#endif

std::vector<std::uint8_t> ReadWholeFile(const fs::path& path, const std::string& what) {
    InputFile file(path, what);
    std::vector<std::uint8_t> bytes(file.Size());
    std::uint64_t done = 0;
    while (done < bytes.size()) {
        std::uint32_t want = std::uint32_t(std::min<std::uint64_t>(bytes.size() - done, 1u << 30));
        std::uint32_t got = file.ReadAt(done, bytes.data() + done, want);
        done += got;
        if (got < want) break;
    }
    std::uint8_t more;
    if (done != bytes.size() || file.ReadAt(done, &more, 1) != 0)
        throw Refusal("cannot read " + what + " " + Quoted(path) + ": it changed while being read");
    return bytes;
}

void CheckOutputPath(const fs::path& path) {
    std::error_code error;
    if (fs::is_directory(path, error)) throw Refusal("output " + Quoted(path) + " is a directory");
    fs::path dir = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    if (!fs::is_directory(dir, error))
        throw Refusal("output directory " + Quoted(dir) + " does not exist");
}

void CheckOutputIsNoInput(const fs::path& output, const std::vector<NamedInput>& inputs) {
    for (const NamedInput& input : inputs) {
        std::error_code error;
        if (fs::equivalent(output, input.path, error))
            throw Refusal("output " + Quoted(output) + " is the " + input.what + " " + Quoted(input.path) +
                          " itself; writing it would destroy that input. Name another output file");
    }
}

std::vector<fs::path> StubCandidates() {
    fs::path self = OwnExecutable();
    if (self.empty()) return {};
    fs::path dir = self.parent_path();
    return {dir / "installer.exe", dir / ".." / "win32" / "installer.exe",
            dir / ".." / "share" / "saverpack" / "installer.exe"};
}

fs::path FindStub(const std::optional<fs::path>& given) {
    if (given) return *given;
    std::string looked;
    for (const fs::path& candidate : StubCandidates()) {
        std::error_code error;
        if (fs::is_regular_file(candidate, error)) return candidate.lexically_normal();
        looked += "\n  " + PathToUtf8(candidate.lexically_normal());
    }
    throw Refusal("no installer executable found; looked for:" + looked + "\nname one with --stub");
}

}  // namespace saverpack
