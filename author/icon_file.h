// Icon files (.ico) and the icon resources made from them.
//
// An .ico file is a 6-byte header (0, type 1, image count), a 16-byte
// directory entry per image (width, height, colours, 0, planes, bits per
// pixel, byte count, file offset; 0 stands for 256 in width and height),
// and the images: each a PNG file, or a BITMAPINFOHEADER with its palette,
// the colour rows and the 1-bit mask rows (the header's height counts both,
// so it is twice the icon's). In an executable every image is an icon
// resource (type 3) of its own and an icon group (type 14) holds the same
// directory with 14-byte entries whose last field is the image's id.
#ifndef AUTHOR_ICON_FILE_H
#define AUTHOR_ICON_FILE_H

#include "author/resources.h"

#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

namespace author {

// A file that is not a usable icon; what() says why.
class IconError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct IconImage {
    std::uint8_t width = 0, height = 0;  // 0: 256
    std::uint8_t colorCount = 0;
    std::uint16_t planes = 0, bitCount = 0;
    std::vector<std::uint8_t> data;      // the PNG or bitmap as the file holds it
};

// The images of an .ico file, up to 256x256, PNG or bitmap. Throws IconError
// naming the first fault: not an icon (or a cursor), no images, a directory
// or an image running past the end of the file, an image that is neither PNG
// nor a bitmap, sizes that disagree with the directory, a bitmap cut short.
// Planes and bit count left 0 in the directory are taken from the image.
std::vector<IconImage> ReadIconFile(std::span<const std::uint8_t> file);

// Replaces icon group `group` (in every language) and the icon images it
// lists with these images, as icons with ids no other icon uses and a group
// in `language`.
void ReplaceIconGroup(std::vector<Resource>& resources, std::uint16_t group, std::uint16_t language,
                      const std::vector<IconImage>& images);

}  // namespace author

#endif
