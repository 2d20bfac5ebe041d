// Icon files made in the tests: bitmap and PNG images of any size.
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

}  // namespace tooltest

#endif
