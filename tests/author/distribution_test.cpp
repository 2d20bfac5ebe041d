// saverpack for installers that are published: signed after packing,
// branded with the author's icon and version information; and the tool's
// own bad input (outputs that are inputs, numbers, extensions outside
// ASCII, interruptions). Damaged installers: verify_damage_test.cpp.
#include "author/icon_file.h"
#include "author/resources.h"
#include "icons.h"
#include "pack_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstring>
#include <set>
#include <sys/wait.h>
#include <thread>

namespace fs = std::filesystem;
using namespace tooltest;

namespace {

const author::Resource* Find(const std::vector<author::Resource>& list, std::uint16_t type, std::uint16_t name) {
    for (const author::Resource& r : list)
        if (r.type == author::ResourceKey{{}, type} && r.name == author::ResourceKey{{}, name}) return &r;
    return nullptr;
}

// The UTF-16 text of a version string, found by its key in the resource.
std::string VersionString(const Bytes& data, const std::u16string& key) {
    Bytes needle;
    for (char16_t c : key) Append16(needle, c);
    needle.insert(needle.end(), {0, 0});
    auto at = std::search(data.begin(), data.end(), needle.begin(), needle.end());
    if (at == data.end()) return "<none>";
    std::size_t p = std::size_t(at - data.begin()) + needle.size();
    p = (p + 3) & ~std::size_t(3);
    std::string text;
    for (; p + 1 < data.size() && (data[p] | data[p + 1]); p += 2) text += char(data[p]);  // ASCII in the tests
    return text;
}

TEST_F(PackTest, SignedWithOsslsigncodeTheSignatureCoversThePackageAndEveryCommandAcceptsIt) {
    fs::path out = dir_ / "Clouds.exe", signed_ = dir_ / "Signed.exe";
    ASSERT_EQ(Pack(out, {"--quiet"}).status, 0);
    // A throwaway certificate, made here and valid for a day.
    Result key = RunTool("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                                     (dir_ / "key.pem").string(), "-out", (dir_ / "cert.pem").string(), "-days", "1",
                                     "-subj", "/CN=Throwaway Test Signer"});
    ASSERT_EQ(key.status, 0) << "openssl is installed by scripts/setup: " << key.err;
    Result sign = RunTool("osslsigncode", {"sign", "-certs", (dir_ / "cert.pem").string(), "-key",
                                           (dir_ / "key.pem").string(), "-n", "Clouds", "-in", out.string(), "-out",
                                           signed_.string()});
    ASSERT_EQ(sign.status, 0) << "osslsigncode is installed by scripts/setup: " << sign.out << sign.err;
    Result check = RunTool("osslsigncode", {"verify", "-CAfile", (dir_ / "cert.pem").string(), "-in",
                                            signed_.string()});
    EXPECT_EQ(check.status, 0) << check.out << check.err;

    Bytes bytes = ReadBytes(signed_);
    auto table = author::FindCertificateTable(bytes);
    ASSERT_TRUE(table) << "the signer fills in the security directory";
    Result verify = RunTool(kTool, {"verify", signed_.string()});
    EXPECT_EQ(verify.status, 0) << verify.out;
    EXPECT_TRUE(Has(verify.out, "signed: certificate table of " + std::to_string(table->size) + " bytes"))
        << verify.out;
    Result list = RunTool(kTool, {"list", "--json", signed_.string()});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(nlohmann::json::parse(list.out)["certificateTable"]["size"], table->size);
    Result extract = RunTool(kTool, {"extract", signed_.string(), (dir_ / "windows").string()});
    EXPECT_EQ(extract.status, 0) << extract.err;
    ExpectExtracted(dir_ / "windows", "Signed", "SIGNED.SCR");

    // The signature covers the package: one changed byte of an entry breaks it.
    Bytes tampered = bytes;
    tampered[Get32(bytes, author::CheckHost(bytes, author::Trailing::Allowed).packageStart + 34) + 10] ^= 1;
    WriteBytes(dir_ / "Tampered.exe", tampered);
    EXPECT_NE(RunTool("osslsigncode", {"verify", "-CAfile", (dir_ / "cert.pem").string(), "-in",
                                       (dir_ / "Tampered.exe").string()})
                  .status,
              0);

    // Signing must come last: a signed installer executable is no stub.
    Result again = RunTool(kTool, PackArgs(dir_ / "again.exe", {"--stub", signed_.string()}));
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(Has(again.err, "is signed")) << again.err;
    EXPECT_TRUE(Has(again.err, "signing must come last")) << again.err;
    EXPECT_FALSE(fs::exists(dir_ / "again.exe"));
}

TEST_F(PackTest, TheAuthorsIconAndVersionInformationBrandTheInstaller) {
    UseStub(InstallerLikeHost());
    std::vector<IconShape> shapes = {{16, 16, 4}, {32, 32, 8}, {48, 48, 32}, {256, 256, 32, true}};
    WriteBytes(dir_ / "clouds.ico", IconFileBytes(shapes));
    fs::path out = dir_ / "Clouds.exe";
    iconReplaced_ = true;
    Result pack = Pack(out, {"--icon", (dir_ / "clouds.ico").string(), "--file-version", "2.5.0.17", "--publisher",
                             "Cloud Works", "--quiet"});
    ASSERT_EQ(pack.status, 0) << pack.err;
    Bytes file = ReadBytes(out);
    CheckLayout(file, std::string("Clouds") + std::string(26, '\0'), 15);

    std::vector<author::Resource> resources = author::ReadResources(file);
    const author::Resource* group = Find(resources, author::kGroupIconType, 101);
    ASSERT_NE(group, nullptr);
    ASSERT_EQ(group->data.size(), 6 + 14 * shapes.size());
    for (std::size_t i = 0; i < shapes.size(); i++) {
        std::uint16_t id = Get16(group->data, 6 + 14 * i + 12);
        const author::Resource* image = Find(resources, author::kIconType, id);
        ASSERT_NE(image, nullptr) << "image " << i;
        EXPECT_EQ(image->data, IconImageBytes(shapes[i])) << "image " << i;
        EXPECT_EQ(image->language, 1033);
    }
    const author::Resource* version = Find(resources, author::kVersionType, 1);
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->language, 1033);
    EXPECT_EQ(VersionString(version->data, u"FileDescription"), "Clouds Screen Saver Installation");
    EXPECT_EQ(VersionString(version->data, u"ProductName"), "Clouds");
    EXPECT_EQ(VersionString(version->data, u"CompanyName"), "Cloud Works");
    EXPECT_EQ(VersionString(version->data, u"FileVersion"), "2.5.0.17");
    EXPECT_EQ(VersionString(version->data, u"ProductVersion"), "2.5.0.17");
    EXPECT_NE(VersionString(version->data, u"040904E4"), "<none>") << "the string table of 1033 and code page 1252";
    // The installer's manifest keeps Windows from taking an installer whose
    // version resource says "Installation" for a setup program.
    std::vector<author::Resource> stubResources = author::ReadResources(stub_);
    if (const author::Resource* manifest = Find(stubResources, author::kManifestType, 1)) {
        ASSERT_NE(Find(resources, author::kManifestType, 1), nullptr);
        EXPECT_EQ(Find(resources, author::kManifestType, 1)->data, manifest->data);
    }

    Result verify = RunTool(kTool, {"verify", out.string()});
    EXPECT_EQ(verify.status, 0) << verify.out;
    Result extract = RunTool(kTool, {"extract", out.string(), (dir_ / "windows").string()});
    EXPECT_EQ(extract.status, 0) << extract.err;
    ExpectExtracted(dir_ / "windows", "Clouds", "CLOUDS.SCR");

    // Without the options: version 1.0.0.0, no CompanyName, the stub's icon.
    ASSERT_EQ(Pack(out, {"--quiet", "--codepage", "1251"}).status, 0);
    resources = author::ReadResources(ReadBytes(out));
    version = Find(resources, author::kVersionType, 1);
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(VersionString(version->data, u"FileVersion"), "1.0.0.0");
    EXPECT_EQ(VersionString(version->data, u"CompanyName"), "<none>");
    EXPECT_NE(VersionString(version->data, u"040904E3"), "<none>") << "the string table follows --codepage";
    EXPECT_EQ(Find(resources, author::kGroupIconType, 101)->data,
              Find(stubResources, author::kGroupIconType, 101)->data);
}

// Version strings that the resource's 16-bit block lengths cannot hold, or
// that carry control characters, are refused; characters outside the code
// page are kept (the strings are UTF-16). verify reads the blocks back.
TEST_F(PackTest, VersionStringsFitTheirResourceAndVerifyReadsItsBlocks) {
    fs::path out = dir_ / "Clouds.exe";
    struct Case {
        const char* what;
        std::string publisher;
        const char* message;
    } refused[] = {
        {"32,700 characters", std::string(32700, 'x'), "the publisher can be at most 32,"},
        {"a bell", "Cloud\x07Works", "control character U+0007"},
        {"CR LF", "Cloud\r\nWorks", "control character U+000D"},
    };
    for (const Case& c : refused) {
        Result r = Pack(out, {"--quiet", "--publisher", c.publisher});
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_TRUE(Has(r.err, c.message)) << c.what << ": " << r.err;
        EXPECT_FALSE(fs::exists(out)) << c.what;
    }

    ASSERT_EQ(Pack(out, {"--quiet", "--publisher", "\xE9\x9B\xB2 W\xC3\xB6rks"}).status, 0);
    Bytes file = ReadBytes(out);
    std::vector<author::Resource> resources = author::ReadResources(file);
    const author::Resource* version = Find(resources, author::kVersionType, 1);
    ASSERT_NE(version, nullptr);
    Bytes kept;
    for (char16_t c : std::u16string(u"\u96F2 W\u00F6rks")) Append16(kept, c);
    EXPECT_NE(std::search(version->data.begin(), version->data.end(), kept.begin(), kept.end()), version->data.end())
        << "CompanyName kept in UTF-16";

    // CompanyName's block claiming more bytes than its table holds.
    Bytes key;
    for (char16_t c : std::u16string(u"CompanyName")) Append16(key, c);
    std::size_t at = std::size_t(std::search(file.begin(), file.end(), key.begin(), key.end()) - file.begin()) - 6;
    file.at(at) = 0xFF;
    file.at(at + 1) = 0xFF;
    WriteBytes(out, file);
    Result verify = RunTool(kTool, {"verify", out.string()});
    EXPECT_EQ(verify.status, 1) << verify.out;
    EXPECT_TRUE(Has(verify.out, "the version resource (language 1033) is damaged")) << verify.out;
}

TEST_F(PackTest, EveryResourceOfTheStubThatIsNotReplacedIsCarried) {
    // A stub of our own with a manifest of its own and a resource of a type
    // the tool does not know, besides everything the installer has.
    std::vector<author::Resource> list = author::ReadResources(InstallerLikeHost());
    std::erase_if(list, [](const author::Resource& r) {
        return r.type == author::ResourceKey{{}, author::kManifestType};
    });
    std::string xml = "<?xml version=\"1.0\"?><assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" "
                      "manifestVersion=\"1.0\"/>";
    list.push_back({{{}, author::kManifestType}, {{}, 1}, 1033, 0, Bytes(xml.begin(), xml.end())});
    list.push_back({{{}, 10}, {u"NOTES", 0}, 1033, 0, Bytes(40, 7)});
    Bytes stub = author::ReplaceResources(InstallerLikeHost(), list);
    WriteBytes(dir_ / "manifested.exe", stub);
    WriteBytes(dir_ / "one.ico", IconFileBytes({{32, 32, 4}}));

    fs::path out = dir_ / "Clouds.exe";
    Result pack = Pack(out, {"--stub", (dir_ / "manifested.exe").string(), "--icon", (dir_ / "one.ico").string()});
    ASSERT_EQ(pack.status, 0) << pack.err;
    Bytes file = ReadBytes(out);
    author::CheckHost(file, author::Trailing::Allowed);
    std::vector<author::Resource> written = author::ReadResources(file);
    std::set<std::uint16_t> stubIcons;
    const author::Resource* stubGroup = Find(list, author::kGroupIconType, 101);
    for (std::size_t i = 0; i < stubGroup->data[4]; i++) stubIcons.insert(stubGroup->data[6 + 14 * i + 12]);
    for (const author::Resource& r : list) {
        bool replaced = r.type == author::ResourceKey{{}, author::kGroupIconType} ||
                        (r.type == author::ResourceKey{{}, author::kIconType} && stubIcons.count(r.name.id));
        if (replaced || r.type.Named()) continue;
        bool kept = std::any_of(written.begin(), written.end(), [&](const author::Resource& w) {
            return w.type == r.type && w.name == r.name && w.language == r.language && w.data == r.data;
        });
        EXPECT_TRUE(kept) << "type " << r.type.id << " name " << r.name.id << " lost";
    }
    EXPECT_EQ(RunTool(kTool, {"verify", out.string()}).status, 0);
}

TEST_F(PackTest, BadInputOfTheToolIsRefusedAndNothingIsLeftBehind) {
    WriteBytes(dir_ / "text.txt", Bytes(100, 'x'));
    Bytes cursor = IconFileBytes({{32, 32, 4}});
    cursor[2] = 2;
    WriteBytes(dir_ / "arrow.cur", cursor);
    WriteBytes(dir_ / "stub-signed.exe", FakeSigned(stub_, 500));
    WriteBytes(dir_ / "stub-cut.exe", Bytes(stub_.begin(), stub_.end() - 100));
    fs::create_hard_link(inputs_[1].path, dir_ / "data-link.dat");
    fs::create_symlink(inputs_[2].path.filename(), dir_ / "song-link.mid");
    fs::copy_file(Stub(), dir_ / "stub.exe");
    WriteBytes(dir_ / "x.DAT", Bytes(10, 1));

    std::string spelled = (dir_.path() / "." / "clouds.scr").string();
    std::vector<Refused> cases = {
        {"an icon that is a text file", {"--icon", (dir_ / "text.txt").string()}, "is not an icon file", 1},
        {"a cursor as icon", {"--icon", (dir_ / "arrow.cur").string()}, "is a cursor file", 1},
        {"a missing icon", {"--icon", (dir_ / "none.ico").string()}, "does not exist", 1},
        {"three version numbers", {"--file-version", "1.2.3"}, "has 3 numbers", 2},
        {"a version number too big", {"--file-version", "1.2.3.70000"}, "above 65535", 2},
        {"a signed stub", {"--stub", (dir_ / "stub-signed.exe").string()}, "signing must come last", 1},
        {"a stub cut short", {"--stub", (dir_ / "stub-cut.exe").string()}, "is cut short: it ends 100 bytes", 1},
        {"output: the saver spelled otherwise", {"-o", spelled}, "is the saver", 1},
        {"output: a hard link to the data file", {"-o", (dir_ / "data-link.dat").string()}, "is the data file", 1},
        {"output: a symbolic link to a file", {"-o", (dir_ / "song-link.mid").string()}, "is the file", 1},
        {"output: the stub", {"--stub", (dir_ / "stub.exe").string(), "-o", (dir_ / "stub.exe").string()},
         "is the installer executable", 1},
        {"output: the icon", {"--icon", (dir_ / "text.txt").string(), "-o", (dir_ / "text.txt").string()},
         "is the icon", 1},
        {"first number in hex", {"--first-number", "0x10"}, "not a decimal number", 2},
        {"first number negative", {"--first-number", "-1"}, "not a decimal number", 2},
        {"first number too big with zeros", {"--first-number", "0065536"}, "not a decimal number", 2},
        {"data file and further file installed as one",
         {"-o", (dir_ / "FILE0015.exe").string(), "--file", (dir_ / "x.DAT").string(), "--first-number", "13"},
         "would both be installed as TORVANEK\\LUMAVERN\\FILE0015\\FILE0015.DAT", 1},
    };
    std::vector<std::string> before = dir_.Names();
    std::vector<Bytes> inputs;
    for (const Input& in : inputs_) inputs.push_back(ReadBytes(in.path));
    for (const Refused& c : cases) {
        Result r = RunTool(kTool, PackArgs(dir_ / "out.exe", c.extra));
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.err;
        EXPECT_TRUE(Has(r.err, c.message)) << c.name << ": " << r.err;
        EXPECT_EQ(dir_.Names(), before) << c.name << ": something was left behind";
        for (std::size_t i = 0; i < inputs_.size(); i++) EXPECT_EQ(ReadBytes(inputs_[i].path), inputs[i]) << c.name;
        EXPECT_EQ(ReadBytes(dir_ / "stub.exe"), stub_) << c.name;
    }
}

TEST_F(PackTest, TheFirstNumberIsDecimalWithLeadingZerosAllowed) {
    fs::path out = dir_ / "Clouds.exe";
    ASSERT_EQ(Pack(out, {"--first-number", "0015", "--quiet"}).status, 0);
    Result list = RunTool(kTool, {"list", "--json", out.string()});
    nlohmann::json j = nlohmann::json::parse(list.out);
    EXPECT_EQ(j["firstFileNumber"], 15);
    EXPECT_EQ(j["entries"][2]["installedAs"], DataPath("Clouds", "FILE0015.MID"));
    ASSERT_EQ(Pack(out, {"--first-number", "065535", "--quiet"}).status, 0);
    EXPECT_EQ(nlohmann::json::parse(RunTool(kTool, {"list", "--json", out.string()}).out)["firstFileNumber"], 65535);
}

TEST_F(PackTest, ASmallPackageIsPaddedToTheEndOfItsSection) {
    WriteBytes(dir_ / "tiny.scr", {'M', 'Z', 1, 2, 3});
    fs::path out = dir_ / "Tiny.exe";
    Result pack = RunTool(kTool, {"pack", "--stub", Stub(), "--saver", (dir_ / "tiny.scr").string(), "--title", "T",
                                  "--store", "--quiet", "-o", out.string()});
    ASSERT_EQ(pack.status, 0) << pack.err;
    Bytes file = ReadBytes(out);
    author::HostLayout layout = author::CheckHost(file, author::Trailing::Allowed);
    std::size_t dataEnd = Get32(file, layout.packageStart + 34) + Get32(file, layout.packageStart + 38);
    ASSERT_LT(dataEnd, layout.sectionEnd) << "the package alone would end inside the section";
    EXPECT_EQ(file.size(), layout.sectionEnd);
    EXPECT_TRUE(std::all_of(file.begin() + dataEnd, file.end(), [](std::uint8_t b) { return b == 0; }));
    Result verify = RunTool(kTool, {"verify", out.string()});
    EXPECT_EQ(verify.status, 0) << verify.out;
    ASSERT_EQ(RunTool(kTool, {"extract", out.string(), (dir_ / "windows").string()}).status, 0);
    EXPECT_EQ(ReadBytes(dir_ / "windows" / "TINY.SCR"), Bytes({'M', 'Z', 1, 2, 3}));

    // Without the padding the file ends inside its section: cut short.
    WriteBytes(out, Bytes(file.begin(), file.begin() + dataEnd));
    verify = RunTool(kTool, {"verify", out.string()});
    EXPECT_EQ(verify.status, 1);
    EXPECT_TRUE(Has(verify.out, "the file is cut short")) << verify.out;
}

TEST_F(PackTest, ExtensionsOutsideAsciiAreShownAndExtractedInTheCodePage) {
    inputs_.resize(2);
    Add("--file", "chant.\u0439\u043a", TextLike(500, 3));  // ".йк": 0xE9 0xEA in code page 1251
    fs::path out = dir_ / "Song.exe";
    ASSERT_EQ(Pack(out, {"--codepage", "1251", "--quiet"}).status, 0);
    std::string name = "FILE0015.\u0439\u043a";

    Result text = RunTool(kTool, {"list", "--codepage", "1251", out.string()});
    EXPECT_TRUE(Has(text.out, DataPath("Song") + name)) << text.out;
    Result json = RunTool(kTool, {"list", "--json", "--codepage", "1251", out.string()});
    nlohmann::json j = nlohmann::json::parse(json.out);
    EXPECT_EQ(j["entries"][2]["installedAs"], DataPath("Song") + name);
    EXPECT_EQ(j["entries"][2]["extension"], ".\u0439\u043a");
    Result extract = RunTool(kTool, {"extract", "--codepage", "1251", out.string(), (dir_ / "windows").string()});
    ASSERT_EQ(extract.status, 0) << extract.err;
    EXPECT_TRUE(Has(extract.out, name)) << extract.out;
    EXPECT_EQ(ReadBytes(DataDirIn(dir_ / "windows", "Song") / name), inputs_[2].bytes);

    // The package carries no code page: read as 1252 the same bytes are "éê".
    Result as1252 = RunTool(kTool, {"list", "--json", out.string()});
    EXPECT_EQ(nlohmann::json::parse(as1252.out)["entries"][2]["installedAs"],
              "TORVANEK\\LUMAVERN\\Song\\FILE0015.\u00e9\u00ea");
}

TEST_F(PackTest, AnInterruptedPackRemovesItsTemporaryOutput) {
    Add("--file", "big.raw", Noise(8 << 20, 9));  // compressing it at --level best takes seconds
    std::vector<std::string> before = dir_.Names();
    for (int signal : {SIGINT, SIGTERM}) {
        pid_t pid = StartTool(kTool, PackArgs(dir_ / "out.exe", {"--compress", "--level", "best", "--quiet"}));
        ASSERT_GT(pid, 0);
        bool temporary = false;
        for (int i = 0; i < 2000 && !temporary; i++) {
            for (const std::string& name : dir_.Names()) temporary = temporary || name.starts_with(".out.exe.");
            if (!temporary) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_TRUE(temporary) << "the temporary output exists while pack works";
        kill(pid, signal);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "ends as the signal would have it";
        EXPECT_EQ(dir_.Names(), before) << "signal " << signal << ": something was left behind";
    }
}

}  // namespace
