// The item's IconPixmap as the XEmbed icon draws it: which size to draw at the tray's size, in
// the byte order GdkPixbuf takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace ShadeLedgerZizadezavav {

// Non-premultiplied RGBA, rows without padding.
struct RGBAImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;
};

// One pixmap of the item (ARGB32 in network byte order, as StatusNotifierItem carries it) as
// RGBA; none when its sizes are not those of its bytes or it is larger than 256 px a side.
std::optional<RGBAImage> rgbaFromARGB(int width, int height, std::span<const std::uint8_t> argb);

// Which image to draw at size px: the smallest that covers it, else the largest (by its shorter
// side); none when there is no image.
std::optional<std::size_t> imageForSize(const std::vector<RGBAImage>& images, int size);

} // namespace ShadeLedgerZizadezavav
