// Test helpers: running the tool and making inputs.
#include "tool.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/paths.h"
#include "support/test_host.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

extern char** environ;

namespace fs = std::filesystem;

namespace tooltest {

namespace {

// Starts program with args (env added to the environment) and its output
// going to the two files; -1 when it cannot be started.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
            const std::string& cwd, const std::string& outPath, const std::string& errPath) {
    std::vector<std::string> argStrings = {program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; e++) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = std::any_of(env.begin(), env.end(), [&](const std::string& s) { return s.starts_with(name); });
        if (!replaced) envStrings.push_back(entry);
    }
    envStrings.insert(envStrings.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (std::string& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    pid_t pid = -1;
    if (posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

}  // namespace

pid_t StartTool(const std::string& program, const std::vector<std::string>& args) {
    return Spawn(program, args, {}, "", "/dev/null", "/dev/null");
}

Result RunTool(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
           const std::string& cwd) {
    char pattern[] = "/tmp/saverpack-run-XXXXXX";
    std::string dir = mkdtemp(pattern);
    std::string outPath = dir + "/out", errPath = dir + "/err";
    Result result;
    pid_t pid = Spawn(program, args, env, cwd, outPath, errPath);
    if (pid > 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    auto slurp = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::erase(s, '\r');
        return s;
    };
    result.out = slurp(outPath);
    result.err = slurp(errPath);
    fs::remove_all(dir);
    return result;
}

Bytes ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::string Stub() {
    // A plain array: it outlives every destructor, for the removal at exit.
    static char path[512];
    if (!path[0]) {
        fs::path made = fs::temp_directory_path() / ("saverpack-test-host-" + std::to_string(getpid()) + ".exe");
        std::snprintf(path, sizeof path, "%s", made.c_str());
        WriteBytes(made, testhost::MakeHost());
        std::atexit([] { std::remove(path); });
    }
    return path;
}

std::string RealInstaller() { return testsupport::Win32Built("installer.exe"); }

Bytes TextLike(std::size_t size, std::uint32_t seed) {
    static const char* words[] = {"screen ", "saver ", "clouds ", "drift ", "over ", "the ", "sea ", "\r\n",
                                  "light ", "slowly ", "and ", "night ", "falls ", "stars "};
    std::mt19937 random(seed);
    Bytes out;
    while (out.size() < size) {
        const char* w = words[random() % std::size(words)];
        out.insert(out.end(), w, w + std::char_traits<char>::length(w));
    }
    out.resize(size);
    return out;
}

Bytes Bitmap(int width, int height) {
    int row = (width * 3 + 3) & ~3;
    std::uint32_t pixels = std::uint32_t(row * height), size = 54 + pixels;
    Bytes out(size, 0);
    auto put32 = [&](std::size_t at, std::uint32_t v) { testsupport::Put32(out, at, v); };
    out[0] = 'B';
    out[1] = 'M';
    put32(2, size);
    put32(10, 54);
    put32(14, 40);
    put32(18, std::uint32_t(width));
    put32(22, std::uint32_t(height));
    out[26] = 1;
    out[28] = 24;
    put32(34, pixels);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            std::size_t at = 54 + std::size_t(y) * row + 3 * x;
            out[at] = std::uint8_t(x * 255 / width);
            out[at + 1] = std::uint8_t(y * 255 / height);
            out[at + 2] = std::uint8_t((x ^ y) & 0x80 ? 200 : 40);
        }
    return out;
}

TempDir::TempDir(const std::string& name) {
    path_ = fs::path(SAVER_BINARY_DIR) / "test-scratch" / (name + "-" + std::to_string(getpid()));
    fs::remove_all(path_);
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::vector<std::string> TempDir::Names() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(path_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace tooltest
