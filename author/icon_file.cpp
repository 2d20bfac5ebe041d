// Reading .ico files, and icon groups in a resource list.
#include "author/icon_file.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

namespace author {
namespace {

constexpr std::size_t kHeader = 6, kFileEntry = 16, kGroupEntry = 14;
constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::uint32_t kLargest = 256;

std::uint32_t Le(std::span<const std::uint8_t> b, std::size_t at, int width) {
    std::uint32_t v = 0;
    for (int i = width - 1; i >= 0; i--) v = (v << 8) | b[at + i];
    return v;
}

std::uint32_t Be32(std::span<const std::uint8_t> b, std::size_t at) {
    return (std::uint32_t(b[at]) << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3];
}

void PutLe(std::vector<std::uint8_t>& out, std::uint32_t v, int width) {
    for (int i = 0; i < width; i++) out.push_back(std::uint8_t(v >> (8 * i)));
}

std::string Size(std::uint32_t w, std::uint32_t h) { return std::to_string(w) + "x" + std::to_string(h); }

// Checks one image against its directory entry; fills planes and bit count
// when the directory leaves them 0.
void CheckImage(IconImage& image, std::size_t index) {
    std::span<const std::uint8_t> d = image.data;
    std::string which = "image " + std::to_string(index + 1);
    std::uint32_t width = image.width ? image.width : 256, height = image.height ? image.height : 256;
    std::uint32_t w, h, bits;
    if (d.size() >= 8 && std::memcmp(d.data(), kPngSignature, 8) == 0) {
        if (d.size() < 8 + 8 + 13 || std::memcmp(&d[12], "IHDR", 4) != 0)
            throw IconError(which + " is a PNG without its IHDR header");
        w = Be32(d, 16);
        h = Be32(d, 20);
        bits = 32;
    } else if (d.size() >= 40 && Le(d, 0, 4) == 40) {
        w = Le(d, 4, 4);
        std::uint32_t both = Le(d, 8, 4);  // colour rows and mask rows
        bits = Le(d, 14, 2);
        if (Le(d, 12, 2) != 1) throw IconError(which + " is a bitmap with " + std::to_string(Le(d, 12, 2)) +
                                               " planes (icons have 1)");
        if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32)
            throw IconError(which + " is a bitmap of " + std::to_string(bits) + " bits per pixel (icons have 1, 4, "
                                                                               "8, 24 or 32)");
        if (both % 2 != 0 || both > 2 * kLargest)
            throw IconError(which + " is a bitmap whose height " + std::to_string(both) +
                            " is not twice the icon's (colour rows and mask rows)");
        h = both / 2;
        if (w <= kLargest && h <= kLargest) {
            std::uint32_t colors = Le(d, 32, 4);
            if (bits <= 8 && colors == 0) colors = 1u << bits;
            std::uint64_t need = 40 + 4ull * (bits <= 8 ? colors : 0) + ((w * bits + 31) / 32) * 4ull * h +
                                 ((w + 31) / 32) * 4ull * h;
            if (d.size() < need)
                throw IconError(which + " is a " + Size(w, h) + " bitmap cut short: " + std::to_string(d.size()) +
                                " bytes of the " + std::to_string(need) + " it needs");
        }
    } else {
        throw IconError(which + " is neither a PNG nor a bitmap (BITMAPINFOHEADER)");
    }
    if (w == 0 || h == 0 || w > kLargest || h > kLargest)
        throw IconError(which + " is " + Size(w, h) + "; icon images are 1x1 to 256x256");
    if (w != width || h != height)
        throw IconError(which + " is " + Size(w, h) + ", but the file's directory says " + Size(width, height));
    if (image.planes == 0) image.planes = 1;
    if (image.bitCount == 0) image.bitCount = std::uint16_t(bits);
}

}  // namespace

std::vector<IconImage> ReadIconFile(std::span<const std::uint8_t> f) {
    if (f.size() < kHeader)
        throw IconError("is too short to be an icon file (" + std::to_string(f.size()) + " bytes)");
    if (Le(f, 0, 2) == 0 && Le(f, 2, 2) == 2) throw IconError("is a cursor file, not an icon file");
    if (Le(f, 0, 2) != 0 || Le(f, 2, 2) != 1)
        throw IconError("is not an icon file (it does not start with the icon header 0, 1)");
    std::size_t count = Le(f, 4, 2);
    if (count == 0) throw IconError("holds no images");
    std::size_t directoryEnd = kHeader + kFileEntry * count;
    if (directoryEnd > f.size())
        throw IconError("is cut short: its directory of " + std::to_string(count) +
                        " images runs past the end of the file");
    std::vector<IconImage> images;
    for (std::size_t i = 0; i < count; i++) {
        std::size_t at = kHeader + kFileEntry * i;
        IconImage image;
        image.width = f[at];
        image.height = f[at + 1];
        image.colorCount = f[at + 2];
        image.planes = std::uint16_t(Le(f, at + 4, 2));
        image.bitCount = std::uint16_t(Le(f, at + 6, 2));
        std::uint64_t size = Le(f, at + 8, 4), offset = Le(f, at + 12, 4);
        std::string which = "image " + std::to_string(i + 1);
        if (size == 0) throw IconError(which + " is empty");
        if (offset < directoryEnd) throw IconError(which + " starts inside the file's directory");
        if (offset + size > f.size())
            throw IconError(which + " (" + std::to_string(size) + " bytes at " + std::to_string(offset) +
                            ") runs past the end of the file (" + std::to_string(f.size()) + " bytes)");
        image.data.assign(f.begin() + offset, f.begin() + offset + size);
        CheckImage(image, i);
        images.push_back(std::move(image));
    }
    return images;
}

void ReplaceIconGroup(std::vector<Resource>& resources, std::uint16_t group, std::uint16_t language,
                      const std::vector<IconImage>& images) {
    std::set<std::uint16_t> replaced;
    for (const Resource& r : resources) {
        if (r.type.Named() || r.type.id != kGroupIconType || r.name.Named() || r.name.id != group) continue;
        std::size_t count = r.data.size() >= kHeader ? Le(r.data, 4, 2) : 0;
        for (std::size_t i = 0; i < count && kHeader + kGroupEntry * (i + 1) <= r.data.size(); i++)
            replaced.insert(std::uint16_t(Le(r.data, kHeader + kGroupEntry * i + 12, 2)));
    }
    std::erase_if(resources, [&](const Resource& r) {
        if (r.type.Named() || r.name.Named()) return false;
        return (r.type.id == kGroupIconType && r.name.id == group) ||
               (r.type.id == kIconType && replaced.count(r.name.id));
    });
    std::set<std::uint16_t> taken;
    for (const Resource& r : resources)
        if (!r.type.Named() && r.type.id == kIconType && !r.name.Named()) taken.insert(r.name.id);

    Resource directory{{{}, kGroupIconType}, {{}, group}, language, 0, {}};
    PutLe(directory.data, 0, 2);
    PutLe(directory.data, 1, 2);
    PutLe(directory.data, std::uint32_t(images.size()), 2);
    std::uint16_t id = 1;
    for (const IconImage& image : images) {
        while (taken.count(id)) id++;
        taken.insert(id);
        resources.push_back({{{}, kIconType}, {{}, id}, language, 0, image.data});
        directory.data.insert(directory.data.end(), {image.width, image.height, image.colorCount, 0});
        PutLe(directory.data, image.planes, 2);
        PutLe(directory.data, image.bitCount, 2);
        PutLe(directory.data, std::uint32_t(image.data.size()), 4);
        PutLe(directory.data, id, 2);
    }
    resources.push_back(std::move(directory));
}

}  // namespace author
