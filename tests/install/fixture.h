// Shared set-up of the installer tests: a fresh mapped file system for each
// test, real installers (a host built in the test with a package written
// into it) at a Windows path, scripted answers, and views of what ended up on disk.
#ifndef TESTS_INSTALL_FIXTURE_H
#define TESTS_INSTALL_FIXTURE_H

#include "author/package_writer.h"
#include "compress/compress.h"
#include "author/pe_layout.h"
#include "install/checks.h"
#include "install/failures.h"
#include "install/install.h"
#include "install/place.h"
#include "package/package.h"
#include "platform/standin/control.h"
#include "support/test_host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace installtest {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

inline HINSTANCE Instance() { return reinterpret_cast<HINSTANCE>(uintptr_t(0x400000)); }

// Bytes that differ from entry to entry and from position to position.
inline Bytes Pattern(std::size_t size, unsigned seed) {
    Bytes out(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return out;
}

inline author::PackageEntry Stored(const Bytes& data, const char* extension = ".TMP") {
    author::PackageEntry e;
    e.data = data;
    memcpy(e.extension.data(), extension, strnlen(extension, 4));
    return e;
}

inline author::PackageEntry Compressed(const Bytes& data, const char* extension = ".TMP") {
    author::PackageEntry e = Stored(codec::Compress(data, codec::Level::Default), extension);
    e.expandedSize = static_cast<std::uint32_t>(data.size());
    return e;
}

// Text with long runs, so that it compresses.
inline Bytes Compressible(std::size_t size, unsigned seed) {
    Bytes out;
    while (out.size() < size) {
        std::string line = "line " + std::to_string(out.size() % 977 + seed) + " of a saver's data\n";
        out.insert(out.end(), line.begin(), line.end());
    }
    out.resize(size);
    return out;
}

inline std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }

class InstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/install-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        standin::Reset(root_);
        ResetInstaller();
        UseWindowsDirectory("C:\\WINDOWS");
    }
    void TearDown() override { fs::remove_all(root_); }

    static const Bytes& Host() {
        static const Bytes host = testhost::MakeHost();
        return host;
    }

    // Makes windowsPath the Windows directory, creating it.
    void UseWindowsDirectory(const std::string& windowsPath) {
        fs::create_directories(standin::HostPath(windowsPath));
        standin::SetWindowsDirectory(windowsPath);
    }

    // Writes an installer carrying contents at windowsPath and runs as it.
    void UseInstaller(const author::PackageContents& contents,
                      const std::string& windowsPath = "D:\\DOWNLOAD\\Clouds.exe") {
        UseInstallerBytes(author::WritePackage(Host(), contents), windowsPath);
    }

    void UseInstallerBytes(const Bytes& bytes, const std::string& windowsPath = "D:\\DOWNLOAD\\Clouds.exe") {
        WriteFile(windowsPath, Text(bytes));
        standin::SetModulePath(windowsPath);
    }

    // A package with a saver, a data file and one further file.
    static author::PackageContents ThreeEntries(const std::string& title = "Clouds") {
        author::PackageContents c;
        c.title = title;
        c.firstFileNumber = 15;
        c.entries = {Stored(Pattern(3000, 1)), Stored(Pattern(5000, 2)), Stored(Pattern(700, 3), ".MID")};
        return c;
    }

    void WriteFile(const std::string& windowsPath, const std::string& content) {
        std::string host = standin::HostPath(windowsPath);
        fs::create_directories(fs::path(host).parent_path());
        std::ofstream(host, std::ios::binary) << content;
    }

    std::string ReadFile(const std::string& windowsPath) {
        std::ifstream in(standin::HostPath(windowsPath), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    bool Exists(const std::string& windowsPath) { return fs::exists(standin::HostPath(windowsPath)); }

    // Every file and directory below the root with its content ("/" for a
    // directory), by path relative to the root.
    std::map<std::string, std::string> Snapshot() {
        std::map<std::string, std::string> all;
        for (const auto& e : fs::recursive_directory_iterator(root_)) {
            std::string rel = fs::relative(e.path(), root_).string();
            if (e.is_directory())
                all[rel] = "/";
            else {
                std::ifstream in(e.path(), std::ios::binary);
                std::stringstream s;
                s << in.rdbuf();
                all[rel] = s.str();
            }
        }
        return all;
    }

    // Names below the root that hold text (temporary files, say).
    std::vector<std::string> NamesContaining(const std::string& text) {
        std::vector<std::string> found;
        for (const auto& e : fs::recursive_directory_iterator(root_))
            if (e.path().filename().string().find(text) != std::string::npos) found.push_back(e.path().string());
        return found;
    }

    int Run() { return WinMain(Instance(), nullptr, const_cast<LPSTR>(""), SW_SHOWDEFAULT); }

    static std::vector<std::string> Captions() {
        std::vector<std::string> out;
        for (const auto& b : standin::GetLog().boxes) out.push_back(b.caption);
        return out;
    }

    static const standin::MessageBoxCall& LastBox() { return standin::GetLog().boxes.back(); }

    static bool HasEvent(const std::string& event) {
        for (const auto& e : standin::GetLog().events)
            if (e == event) return true;
        return false;
    }

    std::string root_;
};

}  // namespace installtest

#endif
