// A test on the native stand-in: a host directory of its own under which
// the stand-in maps its drives, emptied for every test, and views of the
// files there by their Windows paths.
#ifndef TESTS_SUPPORT_STANDIN_TEST_H
#define TESTS_SUPPORT_STANDIN_TEST_H

#include "platform/standin/control.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// Every file and directory below the root with its content ("/" for a
// directory), by path relative to the root.
using Files = std::map<std::string, std::string>;

class StandinTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/standin-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        StartClean();
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    // A new start of the system: the stand-in forgets every setting,
    // handle and record; the drives keep their files.
    virtual void Restart() { standin::Reset(root_); }

    // The same on empty drives.
    void StartClean() {
        for (const auto& e : std::filesystem::directory_iterator(root_)) std::filesystem::remove_all(e.path());
        Restart();
    }

    void WriteFile(const std::string& windowsPath, const std::string& content) {
        std::string host = standin::HostPath(windowsPath);
        std::filesystem::create_directories(std::filesystem::path(host).parent_path());
        std::ofstream(host, std::ios::binary) << content;
    }

    std::string ReadFile(const std::string& windowsPath) { return ReadHost(standin::HostPath(windowsPath)); }

    bool Exists(const std::string& windowsPath) { return std::filesystem::exists(standin::HostPath(windowsPath)); }

    Files Snapshot() {
        Files all;
        for (const auto& e : std::filesystem::recursive_directory_iterator(root_))
            all[std::filesystem::relative(e.path(), root_).string()] = e.is_directory() ? "/" : ReadHost(e.path());
        return all;
    }

    // Names below the root that hold text (temporary files, say).
    std::vector<std::string> NamesContaining(const std::string& text) {
        std::vector<std::string> found;
        for (const auto& e : std::filesystem::recursive_directory_iterator(root_))
            if (e.path().filename().string().find(text) != std::string::npos) found.push_back(e.path().string());
        return found;
    }

    std::string root_;

private:
    static std::string ReadHost(const std::filesystem::path& host) {
        std::ifstream in(host, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

}  // namespace testsupport

#endif
