// Any bytes as the settings file: reading the port never crashes, and a port it
// gives back is exactly what the text says when printed again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "health/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace ShadeLedgerZizadezavav;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto port = portFromSettingsText(text);
    if (port) {
        // A usable port read back from its own settings text is the same port.
        auto again = portFromSettingsText("{\"port\": " + std::to_string(*port) + "}");
        if (again != port) {
            std::abort();
        }
    }
    return 0;
}
