// Input files, output paths, and the installer executable's whereabouts.
#include "author/saverpack/files.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
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
    if (!fs::exists(status)) throw Refusal(what + " " + Quoted(path) + " does not exist");
    if (!fs::is_regular_file(status)) throw Refusal(what + " " + Quoted(path) + " is not a regular file");
    std::uint64_t size = fs::file_size(path, error);
    if (error) throw Refusal("cannot read " + what + " " + Quoted(path) + ": " + error.message());
    return size;
}

std::vector<std::uint8_t> ReadWholeFile(const fs::path& path, const std::string& what) {
    std::uint64_t size = CheckedFileSize(path, what);
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Refusal("cannot open " + what + " " + Quoted(path));
    std::vector<std::uint8_t> bytes(size);
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(size));
    if (std::uint64_t(in.gcount()) != size || in.peek() != std::ifstream::traits_type::eof())
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
