// The resource section rebuilt with the author's icon and version
// information: .ico files read or refused, the version resource's blocks,
// the tree sorted as Windows expects, and icoutils' wrestool as an
// independent reader of the result.
#include "author/icon_file.h"
#include "author/pe_layout.h"
#include "author/resources.h"
#include "author/version_resource.h"
#include "icons.h"
#include "tool.h"

#include <gtest/gtest.h>

#include <map>

namespace fs = std::filesystem;
using namespace tooltest;
using namespace testsupport;
using author::Resource;
using author::ResourceKey;

namespace {

// A version block as read back: key, type, value bytes, children.
struct Block {
    std::u16string key;
    int type = -1;
    Bytes value;
    std::vector<Block> children;
};

std::size_t Align4(std::size_t v) { return (v + 3) & ~std::size_t(3); }

Block ReadBlock(const Bytes& b, std::size_t at, std::size_t limit) {
    Block block;
    std::size_t length = Get16(b, at), valueLength = Get16(b, at + 2);
    block.type = int(Get16(b, at + 4));
    EXPECT_LE(at + length, limit) << "a block runs past its parent";
    std::size_t p = at + 6;
    while (Get16(b, p) != 0) {
        block.key.push_back(char16_t(Get16(b, p)));
        p += 2;
    }
    p = Align4(p + 2);
    std::size_t valueBytes = block.type == 1 ? 2 * valueLength : valueLength;
    block.value.assign(b.begin() + p, b.begin() + p + valueBytes);
    p = Align4(p + valueBytes);
    while (p < at + length) {
        block.children.push_back(ReadBlock(b, p, at + length));
        p = Align4(p + Get16(b, p));
    }
    return block;
}

std::u16string TextValue(const Block& b) {
    std::u16string s;
    for (std::size_t i = 0; i + 1 < b.value.size(); i += 2) s.push_back(char16_t(Get16(b.value, i)));
    if (!s.empty() && s.back() == 0) s.pop_back();
    return s;
}

struct ReadVersion {
    std::vector<std::uint32_t> fixed;  // VS_FIXEDFILEINFO's 13 fields
    std::u16string table;
    std::map<std::u16string, std::u16string> strings;
    std::uint32_t translation = 0;
};

ReadVersion ParseVersion(const Bytes& data) {
    ReadVersion v;
    Block root = ReadBlock(data, 0, data.size());
    EXPECT_EQ(root.key, u"VS_VERSION_INFO");
    EXPECT_EQ(Get16(data, 0), data.size());
    for (std::size_t i = 0; i + 4 <= root.value.size(); i += 4) v.fixed.push_back(Get32(root.value, i));
    for (const Block& child : root.children) {
        if (child.key == u"StringFileInfo" && child.children.size() == 1) {
            v.table = child.children[0].key;
            for (const Block& s : child.children[0].children) v.strings[s.key] = TextValue(s);
        }
        if (child.key == u"VarFileInfo" && child.children.size() == 1 && child.children[0].value.size() == 4)
            v.translation = Get32(child.children[0].value, 0);
    }
    return v;
}

TEST(IconFile, ReadsEverySizeAndDepthUpTo256Png) {
    std::vector<IconShape> shapes = {{16, 16, 4}, {32, 32, 8}, {48, 48, 32}, {20, 24, 1}, {256, 256, 32, true}};
    std::vector<author::IconImage> images = author::ReadIconFile(IconFileBytes(shapes));
    ASSERT_EQ(images.size(), shapes.size());
    for (std::size_t i = 0; i < shapes.size(); i++) {
        EXPECT_EQ(images[i].width, shapes[i].width & 0xFF);
        EXPECT_EQ(images[i].height, shapes[i].height & 0xFF);
        EXPECT_EQ(images[i].bitCount, shapes[i].png ? 32 : shapes[i].bits);
        EXPECT_EQ(images[i].data, IconImageBytes(shapes[i])) << "image " << i;
    }
}

TEST(IconFile, PlanesAndDepthLeftZeroAreTakenFromTheImage) {
    Bytes file = IconFileBytes({{32, 32, 24}});
    file[6 + 4] = file[6 + 6] = 0;  // planes, bit count
    author::IconImage image = author::ReadIconFile(file).at(0);
    EXPECT_EQ(image.planes, 1);
    EXPECT_EQ(image.bitCount, 24);
}

TEST(IconFile, RefusesWhatIsNotAUsableIconNamingWhy) {
    Bytes good = IconFileBytes({{32, 32, 4}, {16, 16, 4}});
    auto with = [&](std::size_t at, std::vector<std::uint8_t> bytes) {
        Bytes b = good;
        std::copy(bytes.begin(), bytes.end(), b.begin() + at);
        return b;
    };
    std::size_t image1 = Get32(good, 6 + 12);
    Bytes bigPng = IconFileBytes({{256, 256, 32, true}});
    Bytes pngSays = bigPng;
    pngSays[6] = 128;  // directory: 128 wide, PNG: 256
    Bytes tooLarge = bigPng;
    std::size_t width = 6 + 16 + 16;  // the image's IHDR width (big-endian), past signature, length, type
    tooLarge[width + 2] = 0x02;         // 512
    tooLarge[width + 3] = 0x00;
    Bytes cut = good;
    cut.resize(cut.size() - 10);
    struct Case {
        const char* what;
        Bytes file;
        const char* reason;
    } cases[] = {
        {"empty", {}, "too short to be an icon file"},
        {"a cursor", with(2, {2, 0}), "cursor file"},
        {"a bitmap file", Bitmap(8, 8), "not an icon file"},
        {"no images", with(4, {0, 0}), "holds no images"},
        {"directory cut", Bytes(good.begin(), good.begin() + 20), "directory of 2 images runs past the end"},
        {"image past the end", cut, "image 2 (" },
        {"image inside the directory", with(6 + 12, {6, 0, 0, 0}), "image 1 starts inside the file's directory"},
        {"empty image", with(6 + 8, {0, 0, 0, 0}), "image 1 is empty"},
        {"neither PNG nor bitmap", with(image1, {'G', 'I', 'F', '8'}), "image 1 is neither a PNG nor a bitmap"},
        {"size disagrees", with(6, {48}), "image 1 is 32x32, but the file's directory says 48x32"},
        {"PNG size disagrees", pngSays, "image 1 is 256x256, but the file's directory says 128x256"},
        {"larger than 256", tooLarge, "image 1 is 512x256; icon images are 1x1 to 256x256"},
        {"odd bitmap height", with(image1 + 8, {33}), "not twice the icon's"},
        {"bitmap of 2 planes", with(image1 + 12, {2}), "2 planes"},
        {"bitmap of 3 bits", with(image1 + 14, {3}), "3 bits per pixel"},
        {"bitmap cut short", with(6 + 8, {100, 0, 0, 0}), "bitmap cut short: 100 bytes of the 744"},
    };
    for (const Case& c : cases) {
        try {
            author::ReadIconFile(c.file);
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const author::IconError& e) {
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << c.what << ": " << e.what();
        }
    }
}

TEST(VersionResource, FileVersionIsFourDecimalNumbers) {
    EXPECT_EQ(author::ParseFileVersion("1.2.3.4"), (author::FileVersion{1, 2, 3, 4}));
    EXPECT_EQ(author::ParseFileVersion("0015.010.0.65535"), (author::FileVersion{15, 10, 0, 65535}));
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "1..2.3", "1.2.3.65536", "1.2.3.x", "1.2.3.4.", "-1.2.3.4",
                            "0x10.0.0.0", " 1.2.3.4"})
        EXPECT_THROW(author::ParseFileVersion(bad), std::invalid_argument) << bad;
}

TEST(VersionResource, EveryBlockReadsBackWithItsStringsAndNumbers) {
    author::VersionInfo info;
    info.version = {2, 7, 300, 65535};
    info.fileDescription = u"Nuages d\u00E9riv\u00E9s Screen Saver Installation";
    info.productName = u"Nuages d\u00E9riv\u00E9s";
    info.companyName = u"Cloud Works";
    info.codePage = 1250;
    Bytes data = author::VersionResourceData(info);
    ReadVersion v = ParseVersion(data);
    ASSERT_EQ(v.fixed.size(), 13u);
    EXPECT_EQ(v.fixed[0], 0xFEEF04BDu);
    EXPECT_EQ(v.fixed[2], 0x00020007u);  // file version MS, LS
    EXPECT_EQ(v.fixed[3], 0x012CFFFFu);
    EXPECT_EQ(v.fixed[4], 0x00020007u);  // product version
    EXPECT_EQ(v.fixed[5], 0x012CFFFFu);
    EXPECT_EQ(v.fixed[9], 1u);           // an application
    EXPECT_EQ(v.table, u"040904E2");
    EXPECT_EQ(v.translation, (1250u << 16) | 1033u);
    std::map<std::u16string, std::u16string> expected = {
        {u"CompanyName", u"Cloud Works"},
        {u"FileDescription", info.fileDescription},
        {u"FileVersion", u"2.7.300.65535"},
        {u"ProductName", info.productName},
        {u"ProductVersion", u"2.7.300.65535"}};
    EXPECT_EQ(v.strings, expected);

    info.companyName.clear();
    EXPECT_EQ(ParseVersion(author::VersionResourceData(info)).strings.count(u"CompanyName"), 0u);
}

class ResourceSection : public ::testing::Test {
protected:
    Bytes host_ = InstallerLikeHost();
};

TEST_F(ResourceSection, RebuildSortsEveryDirectoryAndKeepsEveryResourceAndTheHostLayout) {
    std::vector<Resource> before = author::ReadResources(host_);
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(before.front().type.name, u"LASTRES");

    std::vector<Resource> list = before;
    std::erase_if(list, [](const Resource& r) { return r.type == ResourceKey{{}, author::kManifestType}; });
    Bytes manifest = {'<', '?', 'x', 'm', 'l', '?', '>'};
    list.push_back({{{}, author::kManifestType}, {{}, 1}, 1033, 0, manifest});
    list.push_back({{{}, 10}, {{}, 7}, 1033, 0, {1, 2, 3}});
    list.push_back({{{}, 10}, {u"beta", 0}, 1033, 0, {4}});
    list.push_back({{{}, 10}, {u"ALPHA", 0}, 1049, 0, {5, 6}});
    list.push_back({{{}, 10}, {u"ALPHA", 0}, 1033, 1252, {7}});
    list.push_back({{{}, 2}, {{}, 300}, 1033, 0, Bytes(5000, 9)});  // grows the section
    Bytes rebuilt = author::ReplaceResources(host_, list);

    author::HostLayout layout = author::CheckHost(rebuilt);  // throws when a property breaks
    EXPECT_EQ(layout.sectionEnd, rebuilt.size());
    EXPECT_GT(layout.packageStart, author::CheckHost(host_).packageStart);

    std::vector<Resource> after = author::ReadResources(rebuilt);
    ASSERT_EQ(after.size(), list.size());
    // Directory order: named before ids at every level, names without case,
    // ids and languages ascending.
    for (std::size_t i = 1; i < after.size(); i++) {
        const Resource &a = after[i - 1], &b = after[i];
        bool ordered = author::ResourceOrder(a.type, b.type) ||
                       (a.type == b.type && (author::ResourceOrder(a.name, b.name) ||
                                             (a.name == b.name && a.language < b.language)));
        EXPECT_TRUE(ordered) << "resource " << i << " out of order";
    }
    EXPECT_EQ(after[0].type.name, u"LASTRES");
    auto find = [&](std::uint16_t type, const ResourceKey& name, std::uint16_t language) -> const Resource* {
        for (const Resource& r : after)
            if (r.type == ResourceKey{{}, type} && r.name == name && r.language == language) return &r;
        return nullptr;
    };
    for (const Resource& r : list) {
        const Resource* found = r.type.Named() ? &after[0] : find(r.type.id, r.name, r.language);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->data, r.data);
        EXPECT_EQ(found->codePage, r.codePage);
    }
    const Resource* alpha = find(10, {u"ALPHA", 0}, 1033);
    EXPECT_LT(alpha - after.data(), find(10, {u"beta", 0}, 1033) - after.data()) << "names compare without case";
    EXPECT_LT(find(10, {u"beta", 0}, 1033) - after.data(), find(10, {{}, 7}, 1033) - after.data());

    // Headers that describe the section follow it.
    author::PeImage img = author::ReadPeImage(rebuilt);
    const author::PeSection& rsrc = img.sections[img.resources];
    EXPECT_EQ(Get32(rebuilt, img.optionalHeader + author::kOptionalDataDirectories + 16), rsrc.virtualAddress);
    EXPECT_EQ(Get32(rebuilt, img.optionalHeader + author::kOptionalDataDirectories + 20), rsrc.virtualSize);
    std::uint32_t alignment = Get32(rebuilt, img.optionalHeader + author::kOptionalSectionAlignment);
    if (alignment == 0) alignment = 0x1000;  // the hand-made host leaves it out
    EXPECT_EQ(Get32(rebuilt, img.optionalHeader + author::kOptionalSizeOfImage),
              (rsrc.virtualAddress + rsrc.virtualSize + alignment - 1) / alignment * alignment);
    Bytes installer = rebuilt;
    installer.insert(installer.end(), 100, 1);
    EXPECT_THROW(author::ReplaceResources(installer, after), author::LayoutError) << "a host with a package behind";
}

TEST_F(ResourceSection, TwoResourcesUnderOneKeyAreRefused) {
    std::vector<Resource> list = author::ReadResources(host_);
    list.push_back(list.back());
    EXPECT_THROW(author::ReplaceResources(host_, list), author::LayoutError);
}

TEST_F(ResourceSection, IconAndVersionReadBackWithWrestool) {
    TempDir dir("resources-wrestool");
    std::vector<IconShape> shapes = {{16, 16, 4}, {32, 32, 32}, {256, 256, 32, true}};
    Bytes ico = IconFileBytes(shapes);
    std::vector<Resource> list = author::ReadResources(host_);
    author::ReplaceIconGroup(list, 101, 1033, author::ReadIconFile(ico));
    author::VersionInfo info;
    info.version = {3, 1, 4, 15};
    info.fileDescription = u"Clouds Screen Saver Installation";
    info.productName = u"Clouds";
    author::ReplaceVersion(list, info);
    Bytes rebuilt = author::ReplaceResources(host_, list);
    author::CheckHost(rebuilt);
    WriteBytes(dir / "branded.exe", rebuilt);

    // Only our three images remain as icons: the stub's are gone.
    std::size_t icons = 0;
    for (const Resource& r : author::ReadResources(rebuilt)) icons += r.type == ResourceKey{{}, author::kIconType};
    EXPECT_EQ(icons, shapes.size());

    Result listed = RunTool("wrestool", {"-l", (dir / "branded.exe").string()});
    ASSERT_EQ(listed.status, 0) << "wrestool (icoutils) is installed by scripts/setup: " << listed.err;
    EXPECT_NE(listed.out.find("--type=14 --name=101 --language=1033"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("--type=16 --name=1 --language=1033"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("--type=5 --name=103"), std::string::npos) << "dialog kept: " << listed.out;

    // wrestool puts the group and its images together again as an .ico file.
    Result icon = RunTool("wrestool", {"-x", "--type=14", "--name=101", "-o", (dir / "back.ico").string(),
                                       (dir / "branded.exe").string()});
    ASSERT_EQ(icon.status, 0) << icon.err;
    std::vector<author::IconImage> back = author::ReadIconFile(ReadBytes(dir / "back.ico"));
    ASSERT_EQ(back.size(), shapes.size());
    for (std::size_t i = 0; i < shapes.size(); i++) EXPECT_EQ(back[i].data, IconImageBytes(shapes[i])) << i;

    Result version = RunTool("wrestool", {"-x", "--raw", "--type=16", "--name=1", "-o",
                                          (dir / "version.bin").string(), (dir / "branded.exe").string()});
    ASSERT_EQ(version.status, 0) << version.err;
    ReadVersion v = ParseVersion(ReadBytes(dir / "version.bin"));
    EXPECT_EQ(v.strings[u"FileVersion"], u"3.1.4.15");
    EXPECT_EQ(v.strings[u"FileDescription"], u"Clouds Screen Saver Installation");
}

}  // namespace
