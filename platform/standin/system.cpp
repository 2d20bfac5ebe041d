// Native stand-in: the system's services an installation uses. Free space
// (with the extended call found at run time, or without it), short paths,
// the profile writes, the user's registry, the screen-saver setting,
// program start, replacing moves and deletion at restart, the version and
// the placement lock.
// Behaviour comes from Setup; every call is written to the Log.
#include "platform/standin/internal.h"

#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace standin {
namespace {

struct Session {
    Setup setup;
    Log log;
    // Every key handed out: handle n is entry n - 1.
    struct OpenKey {
        std::string path;
        REGSAM access;
        bool open;
    };
    std::vector<OpenKey> keys;
};

Session& S() {
    static Session session;
    return session;
}

HMODULE KernelHandle() { return reinterpret_cast<HMODULE>(uintptr_t(0x77E00000)); }

BOOL FreeSpaceEx(LPCSTR root, ULARGE_INTEGER* available, ULARGE_INTEGER* total, ULARGE_INTEGER* free) {
    S().log.freeSpaceCalls.push_back(std::string("ex ") + root);
    if (!S().setup.freeSpaceExWorks) return FALSE;
    if (available) available->QuadPart = S().setup.availableBytes;
    if (total) total->QuadPart = S().setup.availableBytes * 2;
    if (free) free->QuadPart = S().setup.availableBytes;
    return TRUE;
}

// The lines of a profile file, and where its section's lines lie:
// [first, end) after the header, or first == end == size() when missing.
struct ProfileLines {
    std::vector<std::string> lines;
    size_t first = 0, end = 0;
};

ProfileLines ReadProfile(LPCSTR section, LPCSTR file) {
    ProfileLines p;
    std::ifstream in(ProfilePath(file), std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        p.lines.push_back(line);
    }
    p.first = p.end = p.lines.size();
    std::string header = std::string("[") + section + "]";
    for (size_t i = 0; i < p.lines.size(); i++) {
        if (strcasecmp(p.lines[i].c_str(), header.c_str()) != 0) continue;
        p.first = p.end = i + 1;
        while (p.end < p.lines.size() && (p.lines[p.end].empty() || p.lines[p.end][0] != '[')) p.end++;
        break;
    }
    return p;
}

// An 8.3 name is kept; a longer one becomes its first six letters, "~1" and
// at most three letters of its extension, upper-cased, as FAT makes them.
std::string ShortComponent(const std::string& name) {
    size_t dot = name.rfind('.');
    std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
    std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
    bool fits = !stem.empty() && stem.size() <= 8 && ext.size() <= 3 && stem.find('.') == std::string::npos &&
                name.find(' ') == std::string::npos;
    if (fits) return name;
    auto upper = [](std::string s, size_t n) {
        std::string out;
        for (char c : s) {
            if (out.size() == n) break;
            if (c != ' ' && c != '.') out += static_cast<char>(toupper(static_cast<unsigned char>(c)));
        }
        return out;
    };
    std::string shortName = upper(stem, 6) + "~1";
    if (!ext.empty()) shortName += "." + upper(ext, 3);
    return shortName;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

// The open key behind a handle, or null for a handle that is not one.
Session::OpenKey* FindKey(HKEY key) {
    uintptr_t n = reinterpret_cast<uintptr_t>(key);
    if (n == 0 || n > S().keys.size() || !S().keys[n - 1].open) return nullptr;
    return &S().keys[n - 1];
}

}  // namespace

const Log::RegistryValue* UserValue(const std::string& key, const std::string& name) {
    auto found = S().log.userValues.find(Lower(key + "\\" + name));
    return found == S().log.userValues.end() ? nullptr : &found->second;
}

Setup& GetSetup() { return S().setup; }
const Log& GetLog() { return S().log; }
Log& EditLog() { return S().log; }
void ResetSystem() { S() = Session(); }

bool MoveRefused(const std::string& windowsPath) {
    std::string target = HostPath(windowsPath);
    std::vector<std::string>& refused = S().setup.refusedMoveTargets;
    for (size_t i = 0; i < refused.size(); i++) {
        if (strcasecmp(HostPath(refused[i]).c_str(), target.c_str()) == 0) {
            refused.erase(refused.begin() + static_cast<long>(i));
            return true;
        }
    }
    return false;
}

}  // namespace standin

using standin::S;

BOOL GetDiskFreeSpaceA(LPCSTR root, DWORD* sectorsPerCluster, DWORD* bytesPerSector, DWORD* freeClusters,
                       DWORD* totalClusters) {
    S().log.freeSpaceCalls.push_back(std::string("classic ") + root);
    const standin::Setup& setup = S().setup;
    if (!setup.freeSpaceWorks) return FALSE;
    *sectorsPerCluster = setup.sectorsPerCluster;
    *bytesPerSector = setup.bytesPerSector;
    *freeClusters = setup.freeClusters;
    *totalClusters = setup.totalClusters;
    return TRUE;
}

HMODULE LoadLibraryA(LPCSTR name) {
    if (!S().setup.kernelLoads) return nullptr;
    if (strcasecmp(name, "KERNEL32.DLL") != 0 && strcasecmp(name, "KERNEL32") != 0) return nullptr;
    S().log.librariesLoaded++;
    return standin::KernelHandle();
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    if (module != standin::KernelHandle()) return nullptr;
    if (strcmp(name, "GetDiskFreeSpaceExA") == 0 && S().setup.hasFreeSpaceEx)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(standin::FreeSpaceEx));
    return nullptr;
}

BOOL FreeLibrary(HMODULE module) {
    if (module != standin::KernelHandle()) return FALSE;
    S().log.librariesFreed++;
    return TRUE;
}

DWORD GetShortPathNameA(LPCSTR longPath, LPSTR shortPath, DWORD size) {
    S().log.shortPathQueries.push_back(longPath);
    if (S().setup.shortPathFails || !PathExists(longPath)) return 0;
    std::string path = longPath, result;
    size_t pos = 0;
    if (path.size() >= 2 && path[1] == ':') {
        result = path.substr(0, 2);
        pos = 2;
    }
    while (pos < path.size()) {
        size_t next = path.find('\\', pos);
        if (next == std::string::npos) next = path.size();
        if (next > pos) result += standin::ShortComponent(path.substr(pos, next - pos));
        if (next < path.size()) result += '\\';
        pos = next + 1;
    }
    if (result.size() + 1 > size) return static_cast<DWORD>(result.size() + 1);
    memcpy(shortPath, result.c_str(), result.size() + 1);
    return static_cast<DWORD>(result.size());
}

BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR file) {
    S().log.profileWrites.push_back({section ? section : "", key ? key : "", value ? value : "", file ? file : ""});
    S().log.events.push_back(std::string("profile ") + (value ? value : ""));
    return !S().setup.profileWriteFails;
}

BOOL SystemParametersInfoA(UINT action, UINT uiParam, LPVOID pvParam, UINT winIni) {
    S().log.spiCalls.push_back({action, uiParam, winIni, pvParam != nullptr});
    S().log.events.push_back("spi " + std::to_string(action));
    return !S().setup.screenSaverSettingFails;
}

UINT WinExec(LPCSTR commandLine, UINT show) {
    S().log.execs.push_back({commandLine, show});
    S().log.events.push_back(std::string("exec ") + commandLine);
    return 33;  // above 31: started
}

// Windows 95 and 98 export MoveFileExA as a stub that fails. Deletion at
// restart needs administrator rights on the NT family.
BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
    S().log.moveFileExCalls.push_back(std::string(from) + " -> " + (to ? to : "(nothing)"));
    if (!S().setup.ntFamily) return standin::Fail(ERROR_CALL_NOT_IMPLEMENTED);
    if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) {
        if (to || S().setup.delayedDeleteRefused) return standin::Fail(ERROR_ACCESS_DENIED);
        if (!PathExists(from)) return standin::Fail(ERROR_FILE_NOT_FOUND);
        S().log.deletesAtRestart.push_back(from);
        return TRUE;
    }
    return standin::Rename(from, to, (flags & MOVEFILE_REPLACE_EXISTING) != 0);
}

DWORD GetVersion(void) {
    // 4.0 (NT 4 or Windows 95); the top bit marks Windows 95/98/Me.
    return S().setup.ntFamily ? 0x05650004u : 0xC3B60004u;
}

// Windows' own English texts, with their line break.
DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size, void*) {
    static const struct {
        DWORD id;
        const char* text;
    } texts[] = {
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
        {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
        {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
        {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
        {ERROR_SHARING_VIOLATION,
         "The process cannot access the file because it is being used by another process.\r\n"},
        {ERROR_DISK_FULL, "There is not enough space on the disk.\r\n"},
        {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists.\r\n"},
    };
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM)) return 0;
    for (const auto& t : texts) {
        if (t.id != messageId) continue;
        size_t length = strlen(t.text);
        if (length + 1 > size) return 0;  // Windows: ERROR_INSUFFICIENT_BUFFER
        memcpy(buffer, t.text, length + 1);
        return static_cast<DWORD>(length);
    }
    return 0;  // Windows: ERROR_MR_MID_NOT_FOUND
}

// Section lines come as "key=value\0...\0\0"; a buffer too small for them
// gets what fits and the count size - 2, as Windows gives it.
DWORD GetPrivateProfileSectionA(LPCSTR section, LPSTR buffer, DWORD size, LPCSTR file) {
    standin::ProfileLines p = standin::ReadProfile(section, file);
    std::string out;
    for (size_t i = p.first; i < p.end; i++)
        if (!p.lines[i].empty() && p.lines[i][0] != ';') out += p.lines[i] + '\0';
    if (size < 2) return 0;
    if (out.size() + 1 > size) {
        memcpy(buffer, out.data(), size - 2);
        buffer[size - 2] = buffer[size - 1] = '\0';
        return size - 2;
    }
    memcpy(buffer, out.data(), out.size());
    buffer[out.size()] = '\0';
    if (out.empty()) buffer[1] = '\0';
    return static_cast<DWORD>(out.size());
}

BOOL WritePrivateProfileSectionA(LPCSTR section, LPCSTR lines, LPCSTR file) {
    S().log.events.push_back(std::string("profile section ") + section);
    if (S().setup.profileWriteFails) return standin::Fail(ERROR_ACCESS_DENIED);
    standin::ProfileLines p = standin::ReadProfile(section, file);
    std::vector<std::string> given;
    for (const char* l = lines; *l; l += strlen(l) + 1) given.push_back(l);
    if (p.first == p.lines.size() && p.end == p.first) p.lines.push_back(std::string("[") + section + "]"), p.first = p.end = p.lines.size();
    p.lines.erase(p.lines.begin() + static_cast<long>(p.first), p.lines.begin() + static_cast<long>(p.end));
    p.lines.insert(p.lines.begin() + static_cast<long>(p.first), given.begin(), given.end());
    std::ofstream out(standin::ProfilePath(file), std::ios::binary | std::ios::trunc);
    for (const std::string& line : p.lines) out << line << "\r\n";
    return out.good() ? TRUE : standin::Fail(ERROR_ACCESS_DENIED);
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR name) {
    S().log.mutexName = name ? name : "";
    if (S().setup.mutexFails) {
        standin::Fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return reinterpret_cast<HANDLE>(uintptr_t(0x4D55));
}

BOOL ReleaseMutex(HANDLE mutex) {
    if (mutex != reinterpret_cast<HANDLE>(uintptr_t(0x4D55)) || !S().log.lockHeld)
        return standin::Fail(ERROR_ACCESS_DENIED);
    S().log.lockHeld = false;
    S().log.events.push_back("unlock");
    return TRUE;
}

// While another installer holds the lock, each wait ends with a message for
// the queue; then the lock is granted.
DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL, DWORD, DWORD wakeMask) {
    if (count != 1 || handles[0] != reinterpret_cast<HANDLE>(uintptr_t(0x4D55)) || (wakeMask & QS_ALLINPUT) != QS_ALLINPUT)
        return standin::Fail(ERROR_INVALID_HANDLE), WAIT_FAILED;
    if (S().setup.lockBusyWakes > 0) {
        S().setup.lockBusyWakes--;
        S().log.lockWakes++;
        standin::InvalidateDialog();
        return WAIT_OBJECT_0 + 1;
    }
    S().log.lockHeld = true;
    S().log.events.push_back("lock");
    return WAIT_OBJECT_0;
}

// Keys below HKEY_CURRENT_USER only; a key is made by opening it. A value
// can be set only through a key opened with KEY_SET_VALUE, and a REG_SZ
// value is stored as given: its size should count the terminating NUL.
LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR, DWORD, REGSAM access, LPSECURITY_ATTRIBUTES,
                     PHKEY result, LPDWORD) {
    S().log.registryCalls.push_back(std::string("create ") + (subKey ? subKey : ""));
    if (key != HKEY_CURRENT_USER || !subKey || reserved || !result) return ERROR_INVALID_HANDLE;
    if (S().setup.registryKeyRefused) return ERROR_ACCESS_DENIED;
    S().keys.push_back({subKey, access, true});
    S().log.openKeys++;
    *result = reinterpret_cast<HKEY>(static_cast<uintptr_t>(S().keys.size()));
    return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size) {
    standin::Session::OpenKey* open = standin::FindKey(key);
    if (!open || reserved) return ERROR_INVALID_HANDLE;
    std::string valueName = name ? name : "";
    S().log.registryCalls.push_back("set " + open->path + "\\" + valueName);
    if (!(open->access & KEY_SET_VALUE) || S().setup.registryValueRefused) return ERROR_ACCESS_DENIED;
    std::string bytes(reinterpret_cast<const char*>(data), size);
    S().log.userValues[standin::Lower(open->path + "\\" + valueName)] = {type, bytes};
    S().log.events.push_back("registry " + valueName + "=" + std::string(bytes.c_str()));
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
    standin::Session::OpenKey* open = standin::FindKey(key);
    if (!open) return ERROR_INVALID_HANDLE;
    S().log.registryCalls.push_back("close " + open->path);
    open->open = false;
    S().log.openKeys--;
    return ERROR_SUCCESS;
}
