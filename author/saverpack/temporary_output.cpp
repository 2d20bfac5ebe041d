// Temporary output files that an interruption does not leave behind.
//
// The signal or console handler can only reach module-level state: the
// temporary file's path in a fixed buffer (on Linux its name relative to an
// open directory), and (on Windows) its handle under a lock that the writer
// holds for each write.
//
// An output directory is reached without following links: on Linux by
// openat with O_NOFOLLOW from component to component, the files created in
// the last one with O_EXCL and renamed within it; on Windows each component
// is looked at for a reparse point and then held open without sharing
// deletion, so that none can be renamed, removed or replaced by a link
// while the files below it are written.
#include "author/saverpack/temporary_output.h"

#include "author/saverpack/files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace saverpack {
namespace {

#ifdef _WIN32
wchar_t pendingPath[32768];
HANDLE pendingFile = INVALID_HANDLE_VALUE;
CRITICAL_SECTION pendingLock;

// Runs on a thread of its own. It keeps the lock: the writer must not touch
// the file again, and the process is about to end.
BOOL WINAPI OnConsoleEvent(DWORD) {
    EnterCriticalSection(&pendingLock);
    if (pendingFile != INVALID_HANDLE_VALUE) {
        CloseHandle(pendingFile);
        DeleteFileW(pendingPath);
        pendingFile = INVALID_HANDLE_VALUE;
    }
    return FALSE;  // the default handling ends the process
}

void WatchInterruptions() {
    static bool installed = false;
    if (installed) return;
    InitializeCriticalSection(&pendingLock);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    installed = true;
}

struct Lock {
    Lock() { EnterCriticalSection(&pendingLock); }
    ~Lock() { LeaveCriticalSection(&pendingLock); }
};
#else
char pendingPath[4096];
int pendingDir = AT_FDCWD;
volatile sig_atomic_t pending = 0;
int pendingFd = -1;
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void OnSignal(int signal) {
    if (pending) unlinkat(pendingDir, pendingPath, 0);
    std::signal(signal, SIG_DFL);
    raise(signal);
}

void WatchInterruptions() {
    static bool installed = false;
    if (installed) return;
    for (int signal : kSignals) {
        struct sigaction old {};
        sigaction(signal, nullptr, &old);
        if (old.sa_handler == SIG_IGN) continue;  // e.g. started with nohup: stays ignored
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        for (int other : kSignals) sigaddset(&action.sa_mask, other);
        sigaction(signal, &action, nullptr);
    }
    installed = true;
}
#endif

// Each component names one entry of the directory above it: never the
// directory itself, its parent or a path.
void CheckComponent(const fs::path& component) {
    std::string text = PathToUtf8(component);
    if (text.empty() || text == "." || text == ".." || text.find_first_of("/\\") != std::string::npos)
        throw Refusal("\"" + text + "\" names no file of a directory");
}

}  // namespace

#ifdef _WIN32
namespace {

DWORD Attributes(const fs::path& path) { return GetFileAttributesW(path.c_str()); }

bool IsLink(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

Refusal LinkRefused(const fs::path& path) {
    return Refusal(Quoted(path) + " is a link (a reparse point); files are written below their directory only, "
                                  "through no link");
}

}  // namespace

OutputDirectory::OutputDirectory(const fs::path& root, const std::vector<fs::path>& components, Mode mode)
    : path_(root) {
    auto hold = [&](const fs::path& path, bool isRoot) {
        HANDLE dir = CreateFileW(path.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        BY_HANDLE_FILE_INFORMATION info;
        bool ok = dir != INVALID_HANDLE_VALUE && GetFileInformationByHandle(dir, &info);
        if (dir != INVALID_HANDLE_VALUE) held_.push_back(dir);
        if (!ok) throw Refusal("cannot open the directory " + Quoted(path));
        if (!isRoot && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) throw LinkRefused(path);
        if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            throw Refusal(Quoted(path) + " is not a directory");
    };
    try {
        if (Attributes(root) == INVALID_FILE_ATTRIBUTES) {
            if (mode == Mode::Look) return;
            std::error_code error;
            fs::create_directories(root, error);
        }
        hold(root, true);
        for (const fs::path& component : components) {
            CheckComponent(component);
            fs::path next = path_ / component;
            DWORD attributes = Attributes(next);
            if (IsLink(attributes)) throw LinkRefused(next);
            if (attributes == INVALID_FILE_ATTRIBUTES) {
                if (mode == Mode::Look) return;
                if (!CreateDirectoryW(next.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
                    throw Refusal("cannot make the directory " + Quoted(next));
            }
            hold(next, false);
            path_ = next;
        }
    } catch (...) {
        for (void* handle : held_) CloseHandle(handle);
        throw;
    }
    exists_ = true;
}

OutputDirectory::~OutputDirectory() {
    for (void* handle : held_) CloseHandle(handle);
}

void OutputDirectory::CheckFileSlot(const fs::path& name) const {
    DWORD attributes = Attributes(path_ / name);
    if (IsLink(attributes)) throw LinkRefused(path_ / name);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        throw Refusal(Quoted(path_ / name) + " is not a regular file: it is a directory");
}

std::uint64_t OutputDirectory::ReadFile(const fs::path& name,
                                        const std::function<void(std::span<const std::uint8_t>)>& sink) const {
    fs::path path = path_ / name;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    struct Closer {
        HANDLE file;
        ~Closer() {
            if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        }
    } closer{file};
    BY_HANDLE_FILE_INFORMATION info;
    bool regular = file != INVALID_HANDLE_VALUE && GetFileType(file) == FILE_TYPE_DISK &&
                   GetFileInformationByHandle(file, &info) &&
                   !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    std::uint64_t total = 0;
    std::vector<std::uint8_t> block(1 << 16);
    DWORD got = 0;
    while (regular && ::ReadFile(file, block.data(), DWORD(block.size()), &got, nullptr) && got > 0) {
        sink(std::span<const std::uint8_t>(block.data(), got));
        total += got;
    }
    if (!regular) throw Refusal("cannot read " + Quoted(path) + " as a regular file");
    return total;
}

TemporaryOutput::TemporaryOutput(const OutputDirectory& dir, const fs::path& name) : path_(dir.Path() / name) {
    CheckComponent(name);
    dir.CheckFileSlot(name);
    Create(dir.Path(), -1);
}

TemporaryOutput::TemporaryOutput(const fs::path& path) : path_(path) {
    Create(path.parent_path().empty() ? fs::path(".") : path.parent_path(), -1);
}

void TemporaryOutput::Create(const fs::path& dir, int) {
    WatchInterruptions();
    std::string base = "." + PathToUtf8(path_.filename()) + ".";
    for (unsigned attempt = 0; attempt < 100 && !open_; attempt++) {
        temp_ = dir / PathFromUtf8(base + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt) +
                                   ".tmp");
        std::wstring wide = temp_.wstring();
        if (wide.size() >= std::size(pendingPath)) break;
        Lock lock;
        HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            if (GetLastError() != ERROR_FILE_EXISTS) break;
            continue;
        }
        std::copy(wide.begin(), wide.end(), pendingPath);
        pendingPath[wide.size()] = 0;
        pendingFile = file;
        open_ = true;
    }
    if (!open_) throw Refusal("cannot create a file in " + Quoted(dir));
}
#else
namespace {

// What is at name in dir, without following a link: "" when nothing is.
// want is what may be there (S_IFDIR or S_IFREG).
std::string InTheWay(int dir, const fs::path& path, mode_t want) {
    struct stat st {};
    if (fstatat(dir, path.filename().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return "";
    if (S_ISLNK(st.st_mode))
        return Quoted(path) + " is a symbolic link; files are written below their directory only, through no link";
    if ((st.st_mode & S_IFMT) == want) return "";
    return Quoted(path) + (want == S_IFDIR ? " is not a directory" : " is not a regular file");
}

}  // namespace

OutputDirectory::OutputDirectory(const fs::path& root, const std::vector<fs::path>& components, Mode mode)
    : path_(root) {
    if (mode == Mode::Make) {
        std::error_code error;
        fs::create_directories(root, error);
    }
    fd_ = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
        if (errno == ENOENT && mode == Mode::Look) return;
        throw Refusal(errno == ENOTDIR ? Quoted(root) + " is not a directory"
                                       : "cannot open the directory " + Quoted(root) + ": " + std::strerror(errno));
    }
    for (const fs::path& component : components) {
        CheckComponent(component);
        fs::path next = path_ / component;
        int fd = openat(fd_, component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            if (mode == Mode::Look) return;
            if (mkdirat(fd_, component.c_str(), 0777) != 0 && errno != EEXIST)
                throw Refusal("cannot make the directory " + Quoted(next) + ": " + std::strerror(errno));
            fd = openat(fd_, component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (fd < 0) {
            int error = errno;
            std::string why = InTheWay(fd_, next, S_IFDIR);
            close(fd_);
            fd_ = -1;
            throw Refusal(!why.empty() ? why : "cannot open the directory " + Quoted(next) + ": " + std::strerror(error));
        }
        close(fd_);
        fd_ = fd;
        path_ = next;
    }
    exists_ = true;
}

OutputDirectory::~OutputDirectory() {
    if (fd_ >= 0) close(fd_);
}

void OutputDirectory::CheckFileSlot(const fs::path& name) const {
    if (std::string why = InTheWay(fd_, path_ / name, S_IFREG); !why.empty()) throw Refusal(why);
}

std::uint64_t OutputDirectory::ReadFile(const fs::path& name,
                                        const std::function<void(std::span<const std::uint8_t>)>& sink) const {
    int fd = openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct Closer {
        int fd;
        ~Closer() {
            if (fd >= 0) close(fd);
        }
    } closer{fd};
    struct stat st {};
    bool regular = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    std::uint64_t total = 0;
    std::vector<std::uint8_t> block(1 << 16);
    for (ssize_t got; regular && (got = read(fd, block.data(), block.size())) != 0;) {
        if (got < 0) {
            regular = errno == EINTR;
            continue;
        }
        sink(std::span<const std::uint8_t>(block.data(), std::size_t(got)));
        total += std::uint64_t(got);
    }
    if (!regular) throw Refusal("cannot read " + Quoted(path_ / name) + " as a regular file");
    return total;
}

TemporaryOutput::TemporaryOutput(const OutputDirectory& dir, const fs::path& name) : path_(dir.Path() / name) {
    CheckComponent(name);
    dir.CheckFileSlot(name);
    finalName_ = name.string();
    Create(dir.Path(), dir.fd_);
}

TemporaryOutput::TemporaryOutput(const fs::path& path) : path_(path) {
    finalName_ = path.string();
    Create(path.parent_path().empty() ? fs::path(".") : path.parent_path(), AT_FDCWD);
}

// Names are tried until one is free: O_EXCL never opens an existing file or
// link, and O_NOFOLLOW keeps a link made meanwhile from being followed.
void TemporaryOutput::Create(const fs::path& dir, int dirFd) {
    WatchInterruptions();
    dirFd_ = dirFd;
    fs::path prefix = dirFd == AT_FDCWD ? dir : fs::path();
    std::string base = "." + PathToUtf8(path_.filename()) + "." + std::to_string(getpid()) + "-";
    // Block the signals while the handler's state is set, so that it never
    // sees a path half written.
    sigset_t block, old;
    sigemptyset(&block);
    for (int signal : kSignals) sigaddset(&block, signal);
    for (unsigned attempt = 0; attempt < 100 && !open_; attempt++) {
        std::string name = (prefix / (base + std::to_string(attempt) + ".tmp")).string();
        if (name.size() >= sizeof pendingPath) throw Refusal("the path " + Quoted(path_) + " is too long");
        sigprocmask(SIG_BLOCK, &block, &old);
        int fd = openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            std::memcpy(pendingPath, name.c_str(), name.size() + 1);
            pendingDir = dirFd;
            pending = 1;
            pendingFd = fd;
            tempName_ = name;
            open_ = true;
        }
        int error = errno;
        sigprocmask(SIG_SETMASK, &old, nullptr);
        if (fd < 0 && error != EEXIST) break;
    }
    if (!open_) throw Refusal("cannot create a file in " + Quoted(dir));
    temp_ = dir / fs::path(tempName_).filename();
}
#endif

TemporaryOutput::~TemporaryOutput() {
    if (open_) Discard();
}

void TemporaryOutput::Discard() {
#ifdef _WIN32
    Lock lock;
    if (pendingFile != INVALID_HANDLE_VALUE) CloseHandle(pendingFile);
    pendingFile = INVALID_HANDLE_VALUE;
    DeleteFileW(temp_.c_str());
#else
    if (pendingFd >= 0) close(pendingFd);
    pendingFd = -1;
    unlinkat(dirFd_, tempName_.c_str(), 0);
    pending = 0;
#endif
    open_ = false;
}

void TemporaryOutput::Write(std::span<const std::uint8_t> bytes) {
    bool ok = open_;
    for (std::size_t done = 0; ok && done < bytes.size();) {
#ifdef _WIN32
        DWORD chunk = DWORD(std::min<std::size_t>(bytes.size() - done, 1u << 20)), wrote = 0;
        Lock lock;
        ok = pendingFile != INVALID_HANDLE_VALUE &&
             WriteFile(pendingFile, bytes.data() + done, chunk, &wrote, nullptr) && wrote == chunk;
        done += wrote;
#else
        ssize_t n = write(pendingFd, bytes.data() + done, std::min<std::size_t>(bytes.size() - done, 1u << 20));
        ok = n > 0;
        if (ok) done += std::size_t(n);
#endif
    }
    if (!ok) {
        Discard();
        throw Refusal("cannot write " + Quoted(path_));
    }
}

void TemporaryOutput::Commit() {
    if (!open_) throw Refusal("cannot write " + Quoted(path_));
#ifdef _WIN32
    bool ok;
    {
        Lock lock;
        ok = pendingFile != INVALID_HANDLE_VALUE && FlushFileBuffers(pendingFile);
        ok = pendingFile != INVALID_HANDLE_VALUE && CloseHandle(pendingFile) && ok;
        pendingFile = INVALID_HANDLE_VALUE;
    }
    bool moved = ok && MoveFileExW(temp_.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
#else
    mode_t mask = umask(0);
    umask(mask);
    bool ok = fchmod(pendingFd, 0666 & ~mask) == 0 && fsync(pendingFd) == 0;
    ok = close(pendingFd) == 0 && ok;
    pendingFd = -1;
    bool moved = ok && renameat(dirFd_, tempName_.c_str(), dirFd_, finalName_.c_str()) == 0;
    if (moved) pending = 0;  // only now: until the rename the handler must remove it
#endif
    if (!moved) {
        Discard();
        throw Refusal(ok ? "cannot put the finished file at " + Quoted(path_) : "cannot write " + Quoted(path_));
    }
    open_ = false;
}

void WriteAtomically(const fs::path& path, std::span<const std::uint8_t> bytes) {
    TemporaryOutput out(path);
    out.Write(bytes);
    out.Commit();
}

}  // namespace saverpack
