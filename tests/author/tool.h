// Running saverpack as a user would, and the files the tests pack.
#ifndef TESTS_AUTHOR_TOOL_H
#define TESTS_AUTHOR_TOOL_H

#include "support/bytes.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tooltest {

using testsupport::Bytes;

struct Result {
    int status = -1;  // exit status; -1 when the process did not exit normally
    std::string out, err;
};

// Runs program (searched in PATH when it has no "/") with args, without a
// shell, capturing its output; env entries
// ("NAME=value") are added to the environment.
Result RunTool(const std::string& program, const std::vector<std::string>& args,
           const std::vector<std::string>& env = {}, const std::string& cwd = "");

// Starts program with args, its output discarded, without waiting for it.
// Returns its process id, or -1.
pid_t StartTool(const std::string& program, const std::vector<std::string>& args);

Bytes ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const Bytes& bytes);

// The installer executable tests pack into: the installer when the win32
// build has it, else the package probe built with the same recipe.
// An installer executable for the tool to pack into: a host built in the
// test (tests/support/test_host.h), written once per process.
std::string Stub();

// The win32 build's installer.exe, for the tests that run it under Wine.
std::string RealInstaller();

// Deterministic test inputs.
Bytes TextLike(std::size_t size, std::uint32_t seed);   // compresses well
using testsupport::Noise;                               // does not compress
Bytes Bitmap(int width, int height);                    // a 24-bit BMP file

// A fresh directory under the build tree, removed with the object.
class TempDir {
public:
    explicit TempDir(const std::string& name);
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    // The names of the directory's entries (to find stray temporary files).
    std::vector<std::string> Names() const;

private:
    std::filesystem::path path_;
};

}  // namespace tooltest

#endif
