#include "platform/linux/xembed/item_pixmaps.h"

#include <algorithm>

namespace ShadeLedgerZizadezavav {

std::optional<RGBAImage> rgbaFromARGB(int width, int height, std::span<const std::uint8_t> argb)
{
    constexpr int largest = 256;
    if (width < 1 || height < 1 || width > largest || height > largest
        || argb.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4) {
        return std::nullopt;
    }
    RGBAImage image{.width = width, .height = height, .rgba = {}};
    image.rgba.resize(argb.size());
    for (std::size_t i = 0; i < argb.size(); i += 4) {
        image.rgba[i] = argb[i + 1];
        image.rgba[i + 1] = argb[i + 2];
        image.rgba[i + 2] = argb[i + 3];
        image.rgba[i + 3] = argb[i];
    }
    return image;
}

std::optional<std::size_t> imageForSize(const std::vector<RGBAImage>& images, int size)
{
    std::optional<std::size_t> covering;
    std::optional<std::size_t> largest;
    auto side = [&](std::size_t i) { return std::min(images[i].width, images[i].height); };
    for (std::size_t i = 0; i < images.size(); ++i) {
        if (side(i) >= size && (!covering || side(i) < side(*covering))) {
            covering = i;
        }
        if (!largest || side(i) > side(*largest)) {
            largest = i;
        }
    }
    return covering ? covering : largest;
}

} // namespace ShadeLedgerZizadezavav
