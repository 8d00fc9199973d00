#include "platform/linux/status_image.h"

#include "platform/files.h"
#include "platform/linux/glib_owners.h"
#include "platform/linux/linux_files.h"

#include <gmodule.h>
#include <png.h>

#include <algorithm>

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

// A PNG signature followed by an IHDR chunk with a non-empty size.
bool isPNGImage(const std::string& path)
{
    std::string header = readImageFile(path).value_or("").substr(0, 24);
    static constexpr std::string_view signature("\x89PNG\r\n\x1a\n", 8);
    if (header.size() < 24 || std::string_view(header).substr(0, 8) != signature
        || std::string_view(header).substr(12, 4) != "IHDR") {
        return false;
    }
    auto dimension = [&](std::size_t offset) {
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            value = (value << 8) | static_cast<unsigned char>(header[offset + i]);
        }
        return value;
    };
    return dimension(16) > 0 && dimension(20) > 0;
}

bool isSVGDocument(const std::string& path)
{
    return readImageFile(path).value_or("").substr(0, 4096).find("<svg") != std::string::npos;
}

// libpng, loaded only while the image is read: the agent runs all day and reads its image once,
// at start, so the library is no part of its resident size. Without libpng there are no pixels.
class PNGLibrary {
public:
    PNGLibrary()
        : module_(
            g_module_open("libpng16.so.16", GModuleFlags(G_MODULE_BIND_LAZY | G_MODULE_BIND_LOCAL)))
    {
        if (module_
            && !(find("png_image_begin_read_from_memory", beginRead_)
                && find("png_image_finish_read", finishRead_) && find("png_image_free", free_))) {
            module_.reset();
        }
    }

    std::optional<Pixmap> decode(std::string_view bytes) const
    {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        if (!module_ || beginRead_(&image, bytes.data(), bytes.size()) == 0) {
            return std::nullopt;
        }
        if (image.width == 0 || image.height == 0 || image.width > maxSide
            || image.height > maxSide) {
            free_(&image);
            return std::nullopt;
        }
        // A, R, G, B bytes: ARGB32 in network byte order.
        image.format = PNG_FORMAT_ARGB;
        // At most 256 by 256 pixels of four bytes.
        std::size_t size = std::size_t{image.width} * image.height * 4;
        Pixmap pixmap{static_cast<std::int32_t>(image.width),
            static_cast<std::int32_t>(image.height), std::vector<std::uint8_t>(size)};
        // Frees the image's reading state, whether it succeeds or not.
        if (finishRead_(&image, nullptr, pixmap.argb.data(), 0, nullptr) == 0) {
            return std::nullopt;
        }
        return pixmap;
    }

private:
    template <typename Function> bool find(const char* name, Function*& function)
    {
        gpointer address = nullptr;
        if (!g_module_symbol(module_.get(), name, &address) || !address) {
            return false;
        }
        function = reinterpret_cast<Function*>(address);
        return true;
    }

    GOwner<GModule, g_module_close> module_;
    decltype(&png_image_begin_read_from_memory) beginRead_ = nullptr;
    decltype(&png_image_finish_read) finishRead_ = nullptr;
    decltype(&png_image_free) free_ = nullptr;
};

} // namespace

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
    // <directory>/<name>.png or .svg: its sizes are <directory>/<name>-<size>.png.
    std::string stem = path.substr(0, path.rfind('.'));
    std::vector<std::string> files;
    files.reserve(pixmapSizes.size() + 1);
    for (std::int32_t size : pixmapSizes) {
        files.push_back(stem + "-" + std::to_string(size) + ".png");
    }
    files.push_back(path);
    PNGLibrary png;
    std::vector<Pixmap> pixmaps;
    for (const auto& file : files) {
        auto bytes = readImageFile(file);
        auto pixmap = bytes ? png.decode(*bytes) : std::nullopt;
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
