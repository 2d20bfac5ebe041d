// Shared set-up of the installer tests: a fresh stand-in for each test, real
// installers (a host built in the test with a package written into it) at a
// Windows path, scripted answers, an earlier installation to upgrade, and
// the check every failed run must pass.
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
#include "support/bytes.h"
#include "support/paths.h"
#include "support/standin_test.h"
#include "support/test_host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace installtest {

namespace fs = std::filesystem;
using namespace testsupport;

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

// A message pattern with each "%s" replaced in turn; inserted text is never searched.
inline std::string Fill(std::string s, std::initializer_list<std::string> values) {
    std::size_t at = 0;
    for (const std::string& v : values) {
        at = s.find("%s", at);
        s.replace(at, 2, v);
        at += v.size();
    }
    return s;
}

class InstallTest : public testsupport::StandinTest {
protected:
    // A new start with the installer's state forgotten and C:\WINDOWS the
    // Windows directory; StartClean does the same on empty drives.
    void Restart() override {
        StandinTest::Restart();
        ResetInstaller();
        UseWindowsDirectory("C:\\WINDOWS");
    }

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

    // A package called Clouds (the title given) of these entries.
    static author::PackageContents Clouds(std::vector<author::PackageEntry> entries, std::uint16_t first = 0,
                                          const std::string& title = "Clouds") {
        return {title, first, std::move(entries)};
    }

    // A package with a saver, a data file and one further file.
    static author::PackageContents ThreeEntries(const std::string& title = "Clouds") {
        return Clouds({Stored(Pattern(3000, 1)), Stored(Pattern(5000, 2)), Stored(Pattern(700, 3), ".MID")}, 15, title);
    }

    // An earlier installation of ThreeEntries (its tune too unless told
    // otherwise), and the answers of an upgrade: replace, then confirm.
    void PlantOldInstallation(bool withTune = true) {
        WriteFile(kSaver, "old saver");
        WriteFile(kData, "old data");
        if (withTune) WriteFile(kTune, "old tune");
        plantedTune_ = withTune;
        standin::GetSetup().answers = {IDYES, IDOK};
    }

    // That earlier installation untouched and nothing registered.
    void ExpectOldInstallation() {
        EXPECT_EQ(ReadFile(kSaver), "old saver");
        EXPECT_EQ(ReadFile(kData), "old data");
        EXPECT_EQ(ReadFile(kTune), plantedTune_ ? "old tune" : "");
        EXPECT_TRUE(standin::GetLog().profileWrites.empty());
    }

    // Runs the installer and checks that it failed as every failure must:
    // status 1, a stop box last whose text holds says (is says, when whole)
    // with the title's caption (unless title is null), no completion
    // message, no saver started, no temporary file and no handle left.
    void ExpectFailedRun(const std::string& says, bool whole = false, const char* title = "Clouds") {
        EXPECT_EQ(Run(), 1);
        const standin::Log& log = standin::GetLog();
        ASSERT_FALSE(log.boxes.empty());
        const standin::MessageBoxCall& box = log.boxes.back();
        if (title) {
            EXPECT_EQ(box.caption, std::string(title) + " Screen Saver Installation");
        }
        EXPECT_EQ(box.flags, UINT(MB_OK | MB_ICONSTOP));
        if (whole) {
            EXPECT_EQ(box.text, says);
        } else {
            EXPECT_NE(box.text.find(says), std::string::npos) << box.text;
        }
        for (const auto& shown : log.boxes) EXPECT_EQ(shown.text.find("Installation Complete!"), std::string::npos);
        EXPECT_TRUE(log.execs.empty());
        EXPECT_EQ(log.quitCode, 1);
        EXPECT_TRUE(NamesContaining("~IN").empty());
        EXPECT_EQ(standin::GetCounters().openHandles, 0);
    }

    // After a refused run: the drives as before it and nothing registered.
    void ExpectUnchanged(const testsupport::Files& before) {
        EXPECT_TRUE(standin::GetLog().profileWrites.empty());
        EXPECT_EQ(Snapshot(), before);
    }

    int Run() { return WinMain(Instance(), nullptr, const_cast<LPSTR>(""), SW_SHOWDEFAULT); }

    static std::vector<std::string> Captions() {
        std::vector<std::string> out;
        for (const auto& b : standin::GetLog().boxes) out.push_back(b.caption);
        return out;
    }

    static const standin::MessageBoxCall& LastBox() { return standin::GetLog().boxes.back(); }

    bool plantedTune_ = false;
};

}  // namespace installtest

#endif
