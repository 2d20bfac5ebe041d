// Native stand-in: the system's services an installation uses. Free space
// (with the extended call found at run time, or without it), short paths,
// the profile write, the screen-saver setting, program start and replacing
// moves. Behaviour comes from Setup; every call is written to the Log.
#include "platform/standin/internal.h"

#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace standin {
namespace {

struct Session {
    Setup setup;
    Log log;
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

BOOL MoveFileEx(LPCSTR from, LPCSTR to, DWORD flags) {
    S().log.moveFileExCalls.push_back(std::string(from) + " -> " + to);
    if (S().setup.moveFileEx == Setup::MoveEx::NotImplemented) {
        SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED
        return FALSE;
    }
    if (MoveRefused(to)) {
        SetError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    std::string src = HostPath(from), dst = HostPath(to);
    struct stat st;
    if (stat(src.c_str(), &st) != 0) {
        SetError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (stat(dst.c_str(), &st) == 0 && (!(flags & MOVEFILE_REPLACE_EXISTING) || S_ISDIR(st.st_mode))) {
        SetError(S_ISDIR(st.st_mode) ? ERROR_ACCESS_DENIED : ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (WriteDenied(to)) return FALSE;
    if (rename(src.c_str(), dst.c_str()) == 0) return TRUE;
    SetError(ERROR_GEN_FAILURE);
    return FALSE;
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

}  // namespace

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
    if (strcmp(name, "MoveFileExA") == 0 && S().setup.moveFileEx != standin::Setup::MoveEx::Missing)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(standin::MoveFileEx));
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

UINT WinExec(LPCSTR commandLine, UINT show) {
    S().log.execs.push_back({commandLine, show});
    S().log.events.push_back(std::string("exec ") + commandLine);
    return 33;  // above 31: started
}
