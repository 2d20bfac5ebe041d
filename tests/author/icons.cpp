// Making icon files for the tests.
#include "icons.h"

#include "author/icon_file.h"
#include "author/resources.h"
#include "support/test_host.h"

#include <string>

namespace tooltest {
namespace {

using namespace testsupport;

void Be32(Bytes& b, std::uint32_t v) {
    for (int i = 3; i >= 0; i--) b.push_back(std::uint8_t(v >> (8 * i)));
}

std::uint32_t Crc32(const Bytes& b, std::size_t from) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = from; i < b.size(); i++) {
        crc ^= b[i];
        for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

void Chunk(Bytes& png, const char* type, const Bytes& data) {
    Be32(png, std::uint32_t(data.size()));
    std::size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    Be32(png, Crc32(png, start));
}

Bytes Png(int w, int h) {
    Bytes raw;
    for (int y = 0; y < h; y++) {
        raw.push_back(0);  // no filter
        for (int x = 0; x < w; x++) raw.insert(raw.end(), {std::uint8_t(x), std::uint8_t(y), 160, 255});
    }
    Bytes z = {0x78, 0x01};
    for (std::size_t at = 0; at < raw.size();) {
        std::size_t n = std::min<std::size_t>(raw.size() - at, 65535);
        z.push_back(at + n == raw.size() ? 1 : 0);
        Append16(z, std::uint32_t(n));
        Append16(z, std::uint32_t(~n & 0xFFFF));
        z.insert(z.end(), raw.begin() + at, raw.begin() + at + n);
        at += n;
    }
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    Be32(z, (b << 16) | a);

    Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    Bytes header;
    Be32(header, std::uint32_t(w));
    Be32(header, std::uint32_t(h));
    header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA
    Chunk(png, "IHDR", header);
    Chunk(png, "IDAT", z);
    Chunk(png, "IEND", {});
    return png;
}

Bytes Bitmap(int w, int h, int bits) {
    Bytes b;
    Append32(b, 40);
    Append32(b, std::uint32_t(w));
    Append32(b, std::uint32_t(2 * h));
    Append16(b, 1);
    Append16(b, std::uint32_t(bits));
    for (int i = 0; i < 6; i++) Append32(b, 0);
    if (bits <= 8)
        for (int i = 0; i < (1 << bits); i++) Append32(b, std::uint32_t(i * 0x010101 * (255 / ((1 << bits) - 1))));
    std::size_t colorRow = std::size_t((w * bits + 31) / 32) * 4, maskRow = std::size_t((w + 31) / 32) * 4;
    for (int y = 0; y < h; y++)
        for (std::size_t x = 0; x < colorRow; x++) b.push_back(std::uint8_t(x * 7 + y * 3));
    b.insert(b.end(), maskRow * h, 0);
    return b;
}

}  // namespace

std::vector<std::uint8_t> IconImageBytes(const IconShape& s) {
    return s.png ? Png(s.width, s.height) : Bitmap(s.width, s.height, s.bits);
}

std::vector<std::uint8_t> IconFileBytes(const std::vector<IconShape>& shapes) {
    Bytes file;
    Append16(file, 0);
    Append16(file, 1);
    Append16(file, std::uint32_t(shapes.size()));
    std::uint32_t offset = 6 + 16 * std::uint32_t(shapes.size());
    std::vector<Bytes> images;
    for (const IconShape& s : shapes) {
        images.push_back(IconImageBytes(s));
        file.push_back(std::uint8_t(s.width & 0xFF));
        file.push_back(std::uint8_t(s.height & 0xFF));
        file.push_back(std::uint8_t(!s.png && s.bits <= 4 ? 1 << s.bits : 0));
        file.push_back(0);
        Append16(file, 1);
        Append16(file, std::uint32_t(s.png ? 32 : s.bits));
        Append32(file, std::uint32_t(images.back().size()));
        Append32(file, offset);
        offset += std::uint32_t(images.back().size());
    }
    for (const Bytes& image : images) file.insert(file.end(), image.begin(), image.end());
    return file;
}

}  // namespace tooltest

namespace tooltest {

std::vector<std::uint8_t> InstallerLikeHost() {
    Bytes host = testhost::MakeHost();
    std::vector<author::Resource> list = author::ReadResources(host);
    author::ReplaceIconGroup(list, 101, 1033, author::ReadIconFile(IconFileBytes({{32, 32, 4}})));
    list.push_back({{{}, 5}, {{}, 103}, 1033, 0, Bytes(258, 0x44)});
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><assembly "
                      "xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\"/>";
    list.push_back({{{}, author::kManifestType}, {{}, 1}, 1033, 0, Bytes(xml.begin(), xml.end())});
    return author::ReplaceResources(host, list);
}

}  // namespace tooltest
