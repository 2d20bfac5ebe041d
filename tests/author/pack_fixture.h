// The fixture of the tests that run saverpack as its users do: a stub,
// four inputs of every kind, and an independent check of the layout.
#ifndef TESTS_AUTHOR_PACK_FIXTURE_H
#define TESTS_AUTHOR_PACK_FIXTURE_H

#include "author/pe_layout.h"
#include "author/resources.h"
#include "compress/expansion.h"
#include "support/bytes.h"
#include "support/paths.h"
#include "tool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace tooltest {

namespace fs = std::filesystem;

inline const std::string kTool = SAVERPACK_EXE;

using namespace testsupport;

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// What a signer does, without a signer: zero bytes up to a multiple of 8,
// a table of `table` bytes (one WIN_CERTIFICATE: length, revision 0x0200,
// type 2, then bytes standing for the signature), the security directory
// pointing at it and a checksum. `padding` replaces the zero bytes when given.
inline Bytes FakeSigned(Bytes installer, std::size_t table, const Bytes* padding = nullptr) {
    author::PeImage img = author::ReadPeImage(installer);
    if (padding)
        installer.insert(installer.end(), padding->begin(), padding->end());
    else
        installer.resize((installer.size() + 7) / 8 * 8, 0);
    std::size_t at = installer.size();
    installer.insert(installer.end(), table, 0x30);
    Put32(installer, at, std::uint32_t(table));
    Put32(installer, at + 4, 0x00020200);
    Put32(installer, img.optionalHeader + author::kOptionalDataDirectories + 8 * author::kSecurityDirectory,
          std::uint32_t(at));
    Put32(installer, img.optionalHeader + author::kOptionalDataDirectories + 8 * author::kSecurityDirectory + 4,
          std::uint32_t(table));
    Put32(installer, img.optionalHeader + author::kOptionalCheckSum, 0x1234ABCD);
    return installer;
}

struct Refused {
    const char* name;
    std::vector<std::string> extra;  // appended to a good command line
    const char* message;             // part of what the tool says
    int status;
};

struct Input {
    std::string option;  // --saver, --data, --file
    fs::path path;
    Bytes bytes;
};

class PackTest : public ::testing::Test {
protected:
    PackTest() : dir_("pack-test") {}

    void SetUp() override {
        stub_ = ReadBytes(Stub());
        ASSERT_FALSE(stub_.empty()) << "build the win32 tree first: " << Stub();
        // A real PE as the saver, noise that compression cannot shrink as the
        // data file, and two further files that compress well.
        Add("--saver", "clouds.scr", stub_);
        Add("--data", "clouds.dat", Noise(20000, 1));
        Add("--file", "song.MID", TextLike(3000, 2));
        Add("--file", "sky.bmp", Bitmap(64, 48));
    }

    // Packs into this stub instead (written to the test's directory).
    void UseStub(const Bytes& stub) {
        stub_ = stub;
        stubPath_ = (dir_ / "own-stub.exe").string();
        WriteBytes(stubPath_, stub);
    }

    void Add(const std::string& option, const std::string& name, const Bytes& bytes) {
        inputs_.push_back({option, dir_ / name, bytes});
        WriteBytes(dir_ / name, bytes);
    }

    std::vector<std::string> PackArgs(const fs::path& out, std::vector<std::string> extra = {}) const {
        std::vector<std::string> args = {"pack", "--stub", stubPath_, "--title", "Clouds", "--first-number", "15",
                                         "-o", out.string()};
        for (const Input& in : inputs_) args.insert(args.end(), {in.option, in.path.string()});
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    Result Pack(const fs::path& out, std::vector<std::string> extra = {}) const {
        return RunTool(kTool, PackArgs(out, extra));
    }

    // Checks the installer against the package layout, reading it
    // independently of the tool; returns each entry's expandedSize.
    std::vector<std::uint32_t> CheckLayout(const Bytes& file, const std::string& titleField,
                                           std::uint16_t first) const {
        std::uint32_t start = author::CheckHost(file, author::Trailing::Allowed).packageStart;
        ExpectHostKept(file);
        EXPECT_EQ(std::string(file.begin() + start, file.begin() + start + 32), titleField);
        EXPECT_EQ(Get16(file, start + 32), first);

        std::size_t n = inputs_.size();
        std::uint32_t offset = start + 34 + 16 * (std::uint32_t(n) + 1);
        std::vector<std::uint32_t> expanded;
        const char* extensions[] = {".SCR", ".DAT", ".MID", ".bmp"};
        for (std::size_t i = 0; i < n; i++) {
            std::size_t at = start + 34 + 16 * i;
            std::uint32_t stored = Get32(file, at + 4);
            expanded.push_back(Get32(file, at + 8));
            EXPECT_EQ(Get32(file, at), offset) << "entry " << i << " does not follow the one before";
            EXPECT_EQ(std::string(file.begin() + at + 12, file.begin() + at + 16), extensions[i]);
            Bytes data(file.begin() + offset, file.begin() + offset + stored);
            if (expanded.back() == 0) {
                EXPECT_EQ(data, inputs_[i].bytes) << "entry " << i;
            } else {
                Bytes out(expanded.back());
                EXPECT_LE(codec::ExpandMemory(data.data(), stored, out.data(), expanded.back()), 8ull * stored);
                EXPECT_EQ(out, inputs_[i].bytes) << "entry " << i;
            }
            offset += stored;
        }
        std::size_t terminator = start + 34 + 16 * n;
        EXPECT_EQ(Bytes(file.begin() + terminator, file.begin() + terminator + 16), Bytes(16, 0));
        EXPECT_EQ(offset, file.size()) << "the last entry's data must end the file";
        return expanded;
    }

    // The stub's sections before ".rsrc" byte for byte, and every resource
    // of the stub (its icons unless replaced), with a version resource besides.
    void ExpectHostKept(const Bytes& file) const {
        author::PeImage img = author::ReadPeImage(stub_);
        std::size_t code = img.sections.front().rawOffset, rsrc = img.sections[img.resources].rawOffset;
        EXPECT_TRUE(std::equal(stub_.begin() + code, stub_.begin() + rsrc, file.begin() + code))
            << "the sections before \".rsrc\" changed";
        std::vector<author::Resource> written = author::ReadResources(file);
        for (const author::Resource& r : author::ReadResources(stub_)) {
            if (iconReplaced_ && (r.type == author::ResourceKey{{}, author::kIconType} ||
                                  r.type == author::ResourceKey{{}, author::kGroupIconType}))
                continue;
            // The marker's 4 declared bytes are the package's first now.
            auto same = [&](const author::Resource& w) {
                return w.type == r.type && w.name == r.name && w.language == r.language &&
                       (r.type.Named() || w.data == r.data);
            };
            EXPECT_TRUE(std::any_of(written.begin(), written.end(), same))
                << "resource type " << r.type.id << " name " << r.name.id << " lost";
        }
        EXPECT_TRUE(std::any_of(written.begin(), written.end(), [](const author::Resource& w) {
            return w.type == author::ResourceKey{{}, author::kVersionType};
        })) << "no version resource";
    }

    void ExpectExtracted(const fs::path& out, const std::string& stem, const std::string& scr) const {
        EXPECT_EQ(ReadBytes(out / scr), inputs_[0].bytes);
        fs::path data = DataDirIn(out, stem);
        EXPECT_EQ(ReadBytes(data / (stem + ".DAT")), inputs_[1].bytes);
        EXPECT_EQ(ReadBytes(data / "FILE0015.MID"), inputs_[2].bytes);
        EXPECT_EQ(ReadBytes(data / "FILE0016.bmp"), inputs_[3].bytes);
    }

    TempDir dir_;
    Bytes stub_;
    std::string stubPath_ = Stub();
    std::vector<Input> inputs_;
    bool iconReplaced_ = false;  // the stub's icons are not expected in the installer
};

}  // namespace tooltest

#endif
