// Native stand-in: files, directories and the module's own path.
#include "platform/standin/win32.h"
#include "platform/standin/control.h"
#include "platform/standin/internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

namespace standin {
namespace {

// A file by its identity, which a rename keeps.
typedef std::pair<dev_t, ino_t> FileId;

// One open of a file: what it may do and what it lets others do.
struct Open {
    FileId file;
    bool read = false, write = false;
    unsigned share = 0;  // FILE_SHARE_READ 1, FILE_SHARE_WRITE 2, FILE_SHARE_DELETE 4
};

struct Search {
    std::vector<WIN32_FIND_DATAA> found;
    size_t next = 0;
};

struct State {
    std::string root = "/tmp/standin";
    std::string modulePath = "C:\\INSTALL.EXE";
    std::string windowsDir = "C:\\WINDOWS";
    Counters counters;
    long long writeBudget = -1;
    std::set<int> handles;
    std::map<int, Open> opens;  // by _lopen/_lcreat handle, or by hold number below 0
    int nextHold = -1;
    std::set<FileId> running;
    std::map<int, Search> searches;
    int nextSearch = 1;
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

bool Identify(const std::string& host, FileId* id) {
    struct stat st;
    if (stat(host.c_str(), &st) != 0) return false;
    *id = FileId(st.st_dev, st.st_ino);
    return true;
}

// Whether every open of the file lets it be renamed or deleted.
bool DeleteShared(const FileId& id) {
    for (const auto& o : S().opens)
        if (o.second.file == id && !(o.second.share & 4)) return false;
    return true;
}

// The code a rename (or, with deleting, a deletion) of the file at host
// meets, 0 when it may go ahead.
DWORD RemovalError(const std::string& host, bool deleting) {
    FileId id;
    struct stat st;
    if (stat(host.c_str(), &st) != 0) return ERROR_FILE_NOT_FOUND;
    if (S_ISDIR(st.st_mode)) return deleting ? ERROR_ACCESS_DENIED : 0;
    Identify(host, &id);
    if (!DeleteShared(id)) return ERROR_SHARING_VIOLATION;
    if (S().running.count(id) && (deleting || !GetSetup().ntFamily)) return ERROR_ACCESS_DENIED;
    if (deleting && !(st.st_mode & S_IWUSR)) return ERROR_ACCESS_DENIED;
    return 0;
}

// The code an open with this access and sharing meets, 0 when it may.
DWORD OpenError(const std::string& host, bool read, bool write, unsigned share) {
    FileId id;
    struct stat st;
    if (stat(host.c_str(), &st) != 0) return 0;
    Identify(host, &id);
    if (write && S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)) return ERROR_ACCESS_DENIED;
    if (write && S().running.count(id)) return ERROR_SHARING_VIOLATION;
    for (const auto& o : S().opens) {
        const Open& other = o.second;
        if (other.file != id) continue;
        if ((read && !(other.share & 1)) || (write && !(other.share & 2)) || (other.read && !(share & 1)) ||
            (other.write && !(share & 2)))
            return ERROR_SHARING_VIOLATION;
    }
    return 0;
}

// What _lopen's OF_SHARE_ bits let other opens do, as the NT family maps
// them (the compatibility mode shares reading and writing).
unsigned ShareOf(int mode) {
    switch (mode & 0x70) {
    case OF_SHARE_EXCLUSIVE:
        return 0;
    case OF_SHARE_DENY_WRITE:
        return 1;
    case OF_SHARE_DENY_READ:
        return 2;
    default:
        return 3;
    }
}

// Wildcard match without regard to case: '*' any run, '?' one character.
bool Matches(const char* pattern, const char* name) {
    if (*pattern == '\0') return *name == '\0';
    if (*pattern == '*') return Matches(pattern + 1, name) || (*name && Matches(pattern, name + 1));
    if (*name == '\0') return false;
    if (*pattern != '?' && toupper(static_cast<unsigned char>(*pattern)) != toupper(static_cast<unsigned char>(*name)))
        return false;
    return Matches(pattern + 1, name + 1);
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

bool DeniedDirectory(const std::string& host) {
    for (const std::string& dir : GetSetup().deniedDirectories) {
        std::string denied = HostPath(dir);
        if (host.size() > denied.size() && strncasecmp(host.c_str(), denied.c_str(), denied.size()) == 0 &&
            host[denied.size()] == '/')
            return true;
    }
    return false;
}

bool WriteDenied(const std::string& windowsPath) {
    std::string host = HostPath(windowsPath);
    if (DeniedDirectory(host)) {
        SetError(ERROR_ACCESS_DENIED);
        return true;
    }
    // Windows keeps a read-only file as it is, whoever asks (root included).
    if (IsReadOnly(host)) {
        SetError(ERROR_ACCESS_DENIED);
        return true;
    }
    return false;
}

BOOL Fail(DWORD error) {
    SetError(error);
    return FALSE;
}

int HoldOpen(const std::string& windowsPath, unsigned share) {
    Open open;
    if (!Identify(HostPath(windowsPath), &open.file)) return 0;
    open.read = true;
    open.share = share;
    int hold = S().nextHold--;
    S().opens[hold] = open;
    return hold;
}

void ReleaseHold(int hold) { S().opens.erase(hold); }

void MarkRunning(const std::string& windowsPath) {
    FileId id;
    if (Identify(HostPath(windowsPath), &id)) S().running.insert(id);
}

std::string ProfilePath(const std::string& file) {
    if (file.find('\\') != std::string::npos || file.find(':') != std::string::npos) return HostPath(file);
    return HostPath(S().windowsDir + "\\" + file);
}

void Reset(const std::string& rootDir) {
    for (int fd : S().handles) close(fd);
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

static HFILE Track(int fd, bool read, bool write, unsigned share) {
    if (fd < 0) {
        standin::SetError(standin::ErrorOf(errno));
        return HFILE_ERROR;
    }
    S().handles.insert(fd);
    S().counters.openHandles++;
    standin::Open open;
    struct stat st;
    fstat(fd, &st);
    open.file = standin::FileId(st.st_dev, st.st_ino);
    open.read = read;
    open.write = write;
    open.share = share;
    S().opens[fd] = open;
    return fd;
}

HFILE _lopen(LPCSTR path, int mode) {
    int access = mode & 3;
    int flags = access == OF_WRITE ? O_WRONLY : access == OF_READWRITE ? O_RDWR : O_RDONLY;
    std::string host = standin::HostPath(path);
    struct stat st;
    if (stat(host.c_str(), &st) != 0) return standin::Fail(ERROR_FILE_NOT_FOUND), HFILE_ERROR;
    if (S_ISDIR(st.st_mode)) return standin::Fail(ERROR_ACCESS_DENIED), HFILE_ERROR;
    bool read = access != OF_WRITE, write = access != OF_READ;
    unsigned share = standin::ShareOf(mode);
    if (DWORD error = standin::OpenError(host, read, write, share)) return standin::Fail(error), HFILE_ERROR;
    HFILE h = Track(open(host.c_str(), flags), read, write, share);
    if (h != HFILE_ERROR) S().counters.opens++;
    return h;
}

HFILE _lcreat(LPCSTR path, int attribute) {
    if (standin::WriteDenied(path)) return HFILE_ERROR;
    std::string host = standin::HostPath(path);
    struct stat st;
    if (stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return standin::Fail(ERROR_ACCESS_DENIED), HFILE_ERROR;
    // _lcreat opens for reading and writing and shares both.
    if (DWORD error = standin::OpenError(host, true, true, 3)) return standin::Fail(error), HFILE_ERROR;
    HFILE h = Track(open(host.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644), true, true, 3);
    if (h != HFILE_ERROR && (attribute & FILE_ATTRIBUTE_READONLY)) fchmod(h, 0444);
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
    S().opens.erase(file);
    S().counters.openHandles--;
    close(file);
    return 0;
}


static DWORD AttributesOf(const struct stat& st) {
    if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
    return st.st_mode & 0222 ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
}

DWORD GetFileAttributesA(LPCSTR path) {
    struct stat st;
    if (stat(standin::HostPath(path).c_str(), &st) != 0) {
        standin::Fail(ERROR_FILE_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    return AttributesOf(st);
}

BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) {
    std::string host = standin::HostPath(path);
    struct stat st;
    if (stat(host.c_str(), &st) != 0) return standin::Fail(ERROR_FILE_NOT_FOUND);
    if (standin::DeniedDirectory(host)) return standin::Fail(ERROR_ACCESS_DENIED);
    mode_t mode = (attributes & FILE_ATTRIBUTE_READONLY) ? (st.st_mode & ~0222) : (st.st_mode | 0200);
    return chmod(host.c_str(), mode & 07777) == 0;
}

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES) {
    if (mkdir(standin::HostPath(path).c_str(), 0755) == 0) return TRUE;
    return standin::Fail(errno == EEXIST ? ERROR_ALREADY_EXISTS : ERROR_PATH_NOT_FOUND);
}

BOOL RemoveDirectoryA(LPCSTR path) {
    if (rmdir(standin::HostPath(path).c_str()) == 0) return TRUE;
    return standin::Fail(errno == ENOTEMPTY || errno == EEXIST ? ERROR_DIR_NOT_EMPTY : ERROR_PATH_NOT_FOUND);
}

BOOL DeleteFileA(LPCSTR path) {
    std::string host = standin::HostPath(path);
    if (DWORD error = standin::RemovalError(host, true)) return standin::Fail(error);
    if (standin::WriteDenied(path)) return FALSE;
    if (unlink(host.c_str()) == 0) return TRUE;
    return standin::Fail(errno == ENOENT ? ERROR_FILE_NOT_FOUND : standin::ErrorOf(errno));
}

// A rename, onto an existing file only when replacing.
BOOL standin::Rename(LPCSTR from, LPCSTR to, bool replace) {
    std::string src = HostPath(from), dst = HostPath(to);
    if (DWORD error = RemovalError(src, false)) return Fail(error);
    if (MoveRefused(to)) return Fail(ERROR_SHARING_VIOLATION);
    if (DeniedDirectory(src)) return Fail(ERROR_ACCESS_DENIED);
    struct stat st;
    if (stat(dst.c_str(), &st) == 0) {
        if (!replace) return Fail(ERROR_ALREADY_EXISTS);
        if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
        if (!(st.st_mode & S_IWUSR)) return Fail(ERROR_ACCESS_DENIED);
        if (DWORD error = RemovalError(dst, true)) return Fail(error);
    }
    if (WriteDenied(to)) return FALSE;
    return rename(src.c_str(), dst.c_str()) == 0 ? TRUE : Fail(ErrorOf(errno));
}

BOOL MoveFileA(LPCSTR from, LPCSTR to) { return standin::Rename(from, to, false); }

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE) {
    // Only what the installer asks: a new file for writing, never an existing one.
    if (disposition != CREATE_NEW || access != GENERIC_WRITE) {
        standin::Fail(ERROR_CALL_NOT_IMPLEMENTED);
        return INVALID_HANDLE_VALUE;
    }
    if (standin::WriteDenied(path)) return INVALID_HANDLE_VALUE;
    int fd = open(standin::HostPath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) {
        standin::Fail(errno == EEXIST ? ERROR_FILE_EXISTS : standin::ErrorOf(errno));
        return INVALID_HANDLE_VALUE;
    }
    Track(fd, false, true, 0);
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
}

BOOL CloseHandle(HANDLE handle) {
    return _lclose(static_cast<HFILE>(reinterpret_cast<intptr_t>(handle))) == 0 ? TRUE
                                                                               : standin::Fail(ERROR_INVALID_HANDLE);
}

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* found) {
    std::string text = pattern;
    size_t slash = text.find_last_of('\\');
    std::string dir = slash == std::string::npos ? "" : text.substr(0, slash);
    std::string name = text.substr(slash == std::string::npos ? 0 : slash + 1);
    standin::Search search;
    if (DIR* d = opendir(standin::HostPath(dir).c_str())) {
        while (dirent* e = readdir(d)) {
            struct stat st;
            if (!standin::Matches(name.c_str(), e->d_name) || strlen(e->d_name) >= MAX_PATH ||
                stat((standin::HostPath(dir) + "/" + e->d_name).c_str(), &st) != 0)
                continue;
            WIN32_FIND_DATAA data = {};
            data.dwFileAttributes = AttributesOf(st);
            strcpy(data.cFileName, e->d_name);
            search.found.push_back(data);
        }
        closedir(d);
    }
    if (search.found.empty()) {
        standin::Fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    *found = search.found[0];
    search.next = 1;
    int id = S().nextSearch++;
    S().searches[id] = search;
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(id));
}

BOOL FindNextFileA(HANDLE handle, WIN32_FIND_DATAA* found) {
    auto it = S().searches.find(static_cast<int>(reinterpret_cast<intptr_t>(handle)));
    if (it == S().searches.end()) return standin::Fail(ERROR_INVALID_HANDLE);
    if (it->second.next >= it->second.found.size()) return standin::Fail(ERROR_NO_MORE_FILES);
    *found = it->second.found[it->second.next++];
    return TRUE;
}

BOOL FindClose(HANDLE handle) {
    return S().searches.erase(static_cast<int>(reinterpret_cast<intptr_t>(handle))) ? TRUE
                                                                                   : standin::Fail(ERROR_INVALID_HANDLE);
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
