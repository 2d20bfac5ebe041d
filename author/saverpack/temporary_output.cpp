// Temporary output files that an interruption does not leave behind.
//
// The signal or console handler can only reach module-level state: the
// temporary file's path in a fixed buffer, and (on Windows) its handle
// under a lock that the writer holds for each write.
#include "author/saverpack/temporary_output.h"

#include "author/saverpack/files.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <cstdio>
#include <cstdlib>
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
volatile sig_atomic_t pending = 0;
int pendingFd = -1;
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void OnSignal(int signal) {
    if (pending) unlink(pendingPath);
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

}  // namespace

TemporaryOutput::TemporaryOutput(const fs::path& path) : path_(path) {
    WatchInterruptions();
    fs::path dir = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    std::string base = "." + PathToUtf8(path.filename()) + ".";
#ifdef _WIN32
    for (unsigned attempt = 0; attempt < 100 && !open_; attempt++) {
        temp_ = dir / PathFromUtf8(base + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt) +
                                   ".tmp");
        std::wstring wide = temp_.wstring();
        if (wide.size() >= std::size(pendingPath)) break;
        Lock lock;
        HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
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
#else
    std::string pattern = (dir / (base + "XXXXXX")).string();
    if (pattern.size() >= sizeof pendingPath) throw Refusal("the path " + Quoted(path) + " is too long");
    // Block the signals while the handler's state is set, so that it never
    // sees a path half written.
    sigset_t block, old;
    sigemptyset(&block);
    for (int signal : kSignals) sigaddset(&block, signal);
    sigprocmask(SIG_BLOCK, &block, &old);
    int fd = mkstemp(pattern.data());
    if (fd >= 0) {
        std::memcpy(pendingPath, pattern.c_str(), pattern.size() + 1);
        pending = 1;
        pendingFd = fd;
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (fd < 0) throw Refusal("cannot create a file in " + Quoted(dir));
    temp_ = pattern;
    open_ = true;
#endif
}

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
    unlink(temp_.c_str());
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
    bool moved = ok && std::rename(temp_.c_str(), path_.c_str()) == 0;
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
