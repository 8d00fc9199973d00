// The status item's image in the bundle's resources: which file holds it, and its pixels for
// hosts that draw IconPixmap instead of looking the icon up by name.
//
// Implements: PNG files and SVG documents as the image, the PNG sizes beside it as pixmaps
// (decoded by libpng, loaded only meanwhile). Not implemented: pixels from an SVG image (it would
// need a renderer).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ShadeLedgerZizadezavav {

// One size of the image: ARGB32 in network byte order (A, R, G, B bytes), not premultiplied, as
// the StatusNotifierItem protocol carries it.
struct Pixmap {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint8_t> argb;
};

// The sizes trays draw at; each may have a rendering of its own beside the image,
// <name>-<size>.png.
inline constexpr std::array<std::int32_t, 2> pixmapSizes = {22, 32};

// <directory>/<name>.png when it is a PNG image, else <directory>/<name>.svg when it is an SVG
// document; none otherwise (also for a name that is a path).
std::optional<std::string> imageFile(const std::string& directory, std::string_view name);

// The image at path as pixmaps, smallest first: its renderings at the tray sizes beside it and,
// when it is a PNG image, the image itself. Only regular files of at most 1 MiB and images of at
// most 256 px a side are read; what does not decode is left out, and without libpng everything.
std::vector<Pixmap> imagePixmaps(const std::string& path);

} // namespace ShadeLedgerZizadezavav
