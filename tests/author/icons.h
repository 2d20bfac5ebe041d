// Icon files made in the tests: bitmap and PNG images of any size; a host
// with the installer's resources.
#ifndef TESTS_AUTHOR_ICONS_H
#define TESTS_AUTHOR_ICONS_H

#include <cstdint>
#include <vector>

namespace tooltest {

struct IconShape {
    int width, height;
    int bits;          // 1, 4, 8, 24 or 32 for a bitmap
    bool png = false;  // a 32-bit RGBA PNG instead
};

// One image as an .ico file holds it: a BITMAPINFOHEADER, palette, colour
// rows and mask rows, or a whole PNG file (stored deflate blocks, real CRCs).
std::vector<std::uint8_t> IconImageBytes(const IconShape& shape);

// An .ico file of these images, the directory filled in from each shape.
std::vector<std::uint8_t> IconFileBytes(const std::vector<IconShape>& shapes);

// A host built in the test with the resources the installer has: icon group
// 101 and its 32x32 image, dialog 103 (bytes standing for its template) and
// a manifest, all in language 1033, besides "LASTRES".
std::vector<std::uint8_t> InstallerLikeHost();

}  // namespace tooltest

#endif
