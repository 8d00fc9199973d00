// Any bytes as Info.plist: the information dictionary is read or refused, and
// the version lookup never crashes.
#include <cstdint>
#include <string_view>

#include "menu/status_menu.h"
#include "platform/linux/linux_bundle.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace ShadeLedgerZizadezavav;
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto info = infoDictionaryFromPlist(bytes);
    auto version = versionString(info);
    (void)version;
    return 0;
}
