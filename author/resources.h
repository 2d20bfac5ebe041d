// The resources of a host executable, read out of its ".rsrc" section and
// written back as a new section.
//
// A resource section is a tree of three directory levels (type, name,
// language) ending in 16-byte data entries (RVA, size, code page, reserved).
// Each directory is a 16-byte header with the count of named entries and of
// id entries, then 8-byte entries: the named ones first, in ascending order
// of their names (compared without case), then the ids in ascending order.
// The loader finds a resource by a binary search over each directory, so a
// tree out of that order loses resources. Names are a 16-bit length and
// UTF-16 characters.
//
// A host keeps "LASTRES" the only named type, so it is the first root entry,
// and keeps its data last in the section: the package starts there.
#ifndef AUTHOR_RESOURCES_H
#define AUTHOR_RESOURCES_H

#include "author/pe_image.h"
#include "author/pe_layout.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace author {

// ResourceKey: author/pe_image.h, which reads the tree.

// The order Windows expects within one directory: named entries first, by
// name without case, then ids ascending.
bool ResourceOrder(const ResourceKey& a, const ResourceKey& b);

struct Resource {
    ResourceKey type, name;
    std::uint16_t language = 0;
    std::uint32_t codePage = 0;
    std::vector<std::uint8_t> data;
};

enum : std::uint16_t { kIconType = 3, kGroupIconType = 14, kVersionType = 16, kManifestType = 24 };

// Every resource of the image, in directory order. Throws LayoutError for a
// tree that points outside its section or nests deeper than three levels.
std::vector<Resource> ReadResources(std::span<const std::uint8_t> image);

// The host with its ".rsrc" section replaced by one holding exactly these
// resources (sorted as Windows expects; "LASTRES" data last) and the headers
// that describe the section updated: its sizes, the image size, the
// resource directory; checksum 0. The result passes CheckHost too (it is
// checked as it is made). Throws LayoutError.
CheckedHost ReplaceResources(const CheckedHost& host, std::vector<Resource> resources);
// The same for a host not checked yet, which must pass CheckHost (a bare
// host, nothing behind the section).
std::vector<std::uint8_t> ReplaceResources(std::span<const std::uint8_t> host, std::vector<Resource> resources);

}  // namespace author

#endif
