#include "platform/linux/status_image.h"

#include "platform/files.h"
#include "platform/linux/linux_files.h"

#include <png.h>

#include <algorithm>
#include <filesystem>

namespace ShadeLedgerZizadezavav {

namespace {

// Far more than any tray draws; keeps a hostile header from asking for gigabytes.
constexpr png_uint_32 maxSide = 256;
constexpr std::size_t maxFileBytes = std::size_t{1024} * 1024;

// Only a small regular file: a FIFO or a device would block or never end.
std::optional<std::string> readImageFile(const std::string& path)
{
    return readRegularFile(path, maxFileBytes);
}

// A PNG signature, an IHDR chunk with a non-empty size and what comes before the pixels, as
// libpng reads them.
bool isPNGImage(const std::string& path)
{
    auto bytes = readImageFile(path);
    if (!bytes) {
        return false;
    }
    const std::string& file = *bytes;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    bool png = png_image_begin_read_from_memory(&image, file.data(), file.size()) != 0
        && image.width > 0 && image.height > 0;
    png_image_free(&image);
    return png;
}

bool isSVGDocument(const std::string& path)
{
    auto bytes = readImageFile(path);
    return bytes && bytes->substr(0, 4096).find("<svg") != std::string::npos;
}

} // namespace

std::optional<Pixmap> decodePNG(std::string_view bytes)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()) == 0) {
        return std::nullopt;
    }
    if (image.width == 0 || image.height == 0 || image.width > maxSide || image.height > maxSide) {
        png_image_free(&image);
        return std::nullopt;
    }
    // A, R, G, B bytes: ARGB32 in network byte order.
    image.format = PNG_FORMAT_ARGB;
    Pixmap pixmap{static_cast<std::int32_t>(image.width), static_cast<std::int32_t>(image.height),
        std::vector<std::uint8_t>(PNG_IMAGE_SIZE(image))};
    // Frees the image's reading state, whether it succeeds or not.
    if (png_image_finish_read(&image, nullptr, pixmap.argb.data(), 0, nullptr) == 0) {
        return std::nullopt;
    }
    return pixmap;
}

std::optional<std::string> imageFile(const std::string& directory, std::string_view name)
{
    if (name.empty() || name.find('/') != std::string_view::npos) {
        return std::nullopt;
    }
    std::string png = appendingPathComponent(directory, std::string(name) + ".png");
    if (isPNGImage(png)) {
        return png;
    }
    std::string svg = appendingPathComponent(directory, std::string(name) + ".svg");
    if (isSVGDocument(svg)) {
        return svg;
    }
    return std::nullopt;
}

std::vector<Pixmap> imagePixmaps(const std::string& path)
{
    std::filesystem::path image(path);
    std::vector<std::string> files;
    files.reserve(pixmapSizes.size() + 1);
    for (std::int32_t size : pixmapSizes) {
        files.push_back(
            (image.parent_path() / (image.stem().string() + "-" + std::to_string(size) + ".png"))
                .string());
    }
    files.push_back(path);
    std::vector<Pixmap> pixmaps;
    for (const auto& file : files) {
        auto bytes = readImageFile(file);
        auto pixmap = bytes ? decodePNG(*bytes) : std::nullopt;
        bool sizeKnown
            = pixmap && std::any_of(pixmaps.begin(), pixmaps.end(), [&](const Pixmap& p) {
                  return p.width == pixmap->width && p.height == pixmap->height;
              });
        if (pixmap && !sizeKnown) {
            pixmaps.push_back(std::move(*pixmap));
        }
    }
    std::sort(pixmaps.begin(), pixmaps.end(),
        [](const Pixmap& a, const Pixmap& b) { return a.width * a.height < b.width * b.height; });
    return pixmaps;
}

} // namespace ShadeLedgerZizadezavav
