// Native stand-in: files, directories and the module's own path.
#include "platform/standin/win32.h"
#include "platform/standin/control.h"
#include "platform/standin/internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

namespace standin {
namespace {

// What an open handle may do to its file and what it denies other opens.
enum : unsigned { ACCESS_READ = 1, ACCESS_WRITE = 2 };
struct OpenFile {
    dev_t device;
    ino_t inode;
    unsigned access;
    unsigned denied;
};

struct State {
    std::string root = "/tmp/standin";
    std::string modulePath = "C:\\INSTALL.EXE";
    std::string windowsDir = "C:\\WINDOWS";
    Counters counters;
    long long writeBudget = -1;
    std::map<int, OpenFile> handles;
    DWORD lastError = 0;
};

State& S() {
    static State state;
    return state;
}

// Finds the entry of dir whose name equals name without regard to case.
std::string MatchEntry(const std::string& dir, const std::string& name) {
    DIR* d = opendir(dir.c_str());
    if (!d) return name;
    std::string found = name;
    bool exact = false;
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, name.c_str()) == 0) { found = name; exact = true; break; }
        if (strcasecmp(e->d_name, name.c_str()) == 0) found = e->d_name;
    }
    (void)exact;
    closedir(d);
    return found;
}

// The Windows error for a failed POSIX call.
DWORD ErrorOf(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case ENOSPC:
        return ERROR_DISK_FULL;
    default:
        return ERROR_GEN_FAILURE;
    }
}

bool IsReadOnly(const std::string& host) {
    struct stat st;
    return stat(host.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && !(st.st_mode & 0222);
}

}  // namespace

void SetError(DWORD error) { S().lastError = error; }

bool WriteDenied(const std::string& windowsPath) {
    std::string host = HostPath(windowsPath);
    for (const std::string& dir : GetSetup().deniedDirectories) {
        std::string denied = HostPath(dir);
        if (host.size() > denied.size() && strncasecmp(host.c_str(), denied.c_str(), denied.size()) == 0 &&
            host[denied.size()] == '/') {
            SetError(ERROR_ACCESS_DENIED);
            return true;
        }
    }
    // Windows keeps a read-only file as it is, whoever asks (root included).
    if (IsReadOnly(host)) {
        SetError(ERROR_ACCESS_DENIED);
        return true;
    }
    return false;
}

void Reset(const std::string& rootDir) {
    for (const auto& [fd, open] : S().handles) close(fd);
    S() = State();
    S().root = rootDir;
    ResetUi();
    ResetSystem();
}

void SetModulePath(const std::string& windowsPath) { S().modulePath = windowsPath; }
void SetWindowsDirectory(const std::string& windowsPath) { S().windowsDir = windowsPath; }
Counters& GetCounters() { return S().counters; }
void SetWriteBudget(long long bytes) { S().writeBudget = bytes; }

std::string HostPath(const std::string& windowsPath) {
    std::string path = windowsPath;
    std::string host = S().root;
    size_t pos = 0;
    if (path.size() >= 2 && path[1] == ':') {
        char drive = static_cast<char>(toupper(static_cast<unsigned char>(path[0])));
        host += "/";
        host += drive;
        pos = 2;
    }
    while (pos < path.size()) {
        size_t next = path.find_first_of("\\/", pos);
        if (next == std::string::npos) next = path.size();
        std::string part = path.substr(pos, next - pos);
        pos = next + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            size_t cut = host.find_last_of('/');
            if (cut > S().root.size()) host.resize(cut);
            continue;
        }
        host += "/" + MatchEntry(host, part);
    }
    return host;
}

}  // namespace standin

using standin::S;
using standin::ACCESS_READ;
using standin::ACCESS_WRITE;

DWORD GetModuleFileNameA(HMODULE, LPSTR buffer, DWORD size) {
    // Windows copies what fits, terminates it and returns size when cut.
    const std::string& path = S().modulePath;
    if (size == 0) return 0;
    if (path.size() >= size) {
        memcpy(buffer, path.data(), size - 1);
        buffer[size - 1] = '\0';
        return size;
    }
    memcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

HMODULE GetModuleHandleA(LPCSTR) { return reinterpret_cast<HMODULE>(0x400000); }

static HFILE Track(int fd, unsigned access, unsigned denied) {
    if (fd < 0) return HFILE_ERROR;
    struct stat st;
    fstat(fd, &st);
    S().handles[fd] = {st.st_dev, st.st_ino, access, denied};
    S().counters.openHandles++;
    return fd;
}

// Windows refuses an open (a sharing violation) when a handle already open
// on the file denies the access asked for, or when the new handle would
// deny an access that an open handle has.
static bool SharingAllows(const std::string& host, unsigned access, unsigned denied) {
    struct stat st;
    if (stat(host.c_str(), &st) != 0) return true;
    for (const auto& [fd, open] : S().handles) {
        if (open.device != st.st_dev || open.inode != st.st_ino) continue;
        if ((open.denied & access) || (denied & open.access)) return false;
    }
    return true;
}

// The accesses a share mode of _lopen denies to other opens; compatibility
// mode shares like OF_SHARE_DENY_NONE.
static unsigned DeniedBy(int mode) {
    switch (mode & 0x70) {
    case OF_SHARE_EXCLUSIVE:
        return ACCESS_READ | ACCESS_WRITE;
    case OF_SHARE_DENY_WRITE:
        return ACCESS_WRITE;
    case OF_SHARE_DENY_READ:
        return ACCESS_READ;
    default:
        return 0;
    }
}

HFILE _lopen(LPCSTR path, int mode) {
    int flags = (mode & 3) == OF_WRITE ? O_WRONLY : (mode & 3) == OF_READWRITE ? O_RDWR : O_RDONLY;
    unsigned access = (mode & 3) == OF_WRITE ? ACCESS_WRITE
                      : (mode & 3) == OF_READWRITE ? ACCESS_READ | ACCESS_WRITE
                                                   : ACCESS_READ;
    std::string host = standin::HostPath(path);
    struct stat st;
    if (stat(host.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return HFILE_ERROR;
    if (!SharingAllows(host, access, DeniedBy(mode))) {
        standin::SetError(ERROR_SHARING_VIOLATION);
        return HFILE_ERROR;
    }
    HFILE h = Track(open(host.c_str(), flags), access, DeniedBy(mode));
    if (h != HFILE_ERROR) S().counters.opens++;
    return h;
}

// _lcreat opens for reading and writing and shares both.
HFILE _lcreat(LPCSTR path, int) {
    if (standin::WriteDenied(path)) return HFILE_ERROR;
    std::string host = standin::HostPath(path);
    if (!SharingAllows(host, ACCESS_READ | ACCESS_WRITE, 0)) {
        standin::SetError(ERROR_SHARING_VIOLATION);
        return HFILE_ERROR;
    }
    HFILE h = Track(open(host.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), ACCESS_READ | ACCESS_WRITE, 0);
    if (h == HFILE_ERROR) standin::SetError(standin::ErrorOf(errno));
    return h;
}

LONG _llseek(HFILE file, LONG offset, int origin) {
    int whence = origin == FILE_BEGIN ? SEEK_SET : origin == FILE_CURRENT ? SEEK_CUR : SEEK_END;
    if (!S().handles.count(file)) return HFILE_ERROR;
    off_t pos = lseek(file, offset, whence);
    if (pos < 0 || pos > 0x7FFFFFFF) return HFILE_ERROR;
    return static_cast<LONG>(pos);
}

UINT _lread(HFILE file, LPVOID buffer, UINT count) {
    S().counters.reads++;
    S().counters.readSizes.push_back(count);
    if (!S().handles.count(file)) return static_cast<UINT>(HFILE_ERROR);
    ssize_t got = read(file, buffer, count);
    if (got < 0) return static_cast<UINT>(HFILE_ERROR);
    S().counters.bytesRead += got;
    return static_cast<UINT>(got);
}

UINT _lwrite(HFILE file, LPCCH buffer, UINT count) {
    S().counters.writeSizes.push_back(count);
    if (!S().handles.count(file)) return static_cast<UINT>(HFILE_ERROR);
    // As on Windows: a count of 0 cuts the file off at its position.
    if (count == 0) {
        off_t at = lseek(file, 0, SEEK_CUR);
        return at >= 0 && ftruncate(file, at) == 0 ? 0 : static_cast<UINT>(HFILE_ERROR);
    }
    UINT allowed = count;
    if (S().writeBudget >= 0 && S().writeBudget < count) allowed = static_cast<UINT>(S().writeBudget);
    ssize_t put = allowed ? write(file, buffer, allowed) : 0;
    if (put < 0) {
        standin::SetError(standin::ErrorOf(errno));
        return static_cast<UINT>(HFILE_ERROR);
    }
    if (S().writeBudget >= 0) S().writeBudget -= put;
    if (static_cast<UINT>(put) < count) standin::SetError(ERROR_DISK_FULL);
    return static_cast<UINT>(put);
}

HFILE _lclose(HFILE file) {
    if (!S().handles.erase(file)) return HFILE_ERROR;
    S().counters.openHandles--;
    close(file);
    return 0;
}

HLOCAL LocalAlloc(UINT, size_t bytes) { return calloc(1, bytes); }
HLOCAL LocalFree(HLOCAL block) {
    free(block);
    return nullptr;
}

DWORD GetFileAttributesA(LPCSTR path) {
    struct stat st;
    if (stat(standin::HostPath(path).c_str(), &st) != 0) return INVALID_FILE_ATTRIBUTES;
    if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
    return st.st_mode & 0222 ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
}

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES) {
    return mkdir(standin::HostPath(path).c_str(), 0755) == 0;
}

BOOL DeleteFileA(LPCSTR path) {
    if (standin::WriteDenied(path)) return FALSE;
    if (unlink(standin::HostPath(path).c_str()) == 0) return TRUE;
    standin::SetError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : standin::ErrorOf(errno));
    return FALSE;
}

BOOL MoveFileA(LPCSTR from, LPCSTR to) {
    std::string src = standin::HostPath(from), dst = standin::HostPath(to);
    struct stat st;
    if (standin::MoveRefused(to)) {
        standin::SetError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (stat(dst.c_str(), &st) == 0) {  // MoveFile never replaces
        standin::SetError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (standin::WriteDenied(to)) return FALSE;
    if (rename(src.c_str(), dst.c_str()) == 0) return TRUE;
    standin::SetError(standin::ErrorOf(errno));
    return FALSE;
}

DWORD GetLastError(void) { return S().lastError; }

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    const std::string& dir = S().windowsDir;
    if (dir.empty()) return 0;
    if (dir.size() >= size) return static_cast<UINT>(dir.size() + 1);
    memcpy(buffer, dir.c_str(), dir.size() + 1);
    return static_cast<UINT>(dir.size());
}

int PathExists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }
