// Any bytes as the settings file: the agent's one pass gives the port that nlohmann/json, a
// well-tried JSON parser, finds (its verdict on the text, its last top-level "port"), on every
// text that nlohmann reads as the bridge's JSON.parse does. Left out are the texts where it
// does not: an escaped surrogate without its other half and a number too large for a double
// (nlohmann refuses both), and a NUL (nlohmann takes it for the end).
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "health/settings.h"

namespace {

using Json = nlohmann::json;

// The value of the last "port" member of the top-level object, as nlohmann reads it.
class PortOracle final : public nlohmann::json_sax<Json> {
public:
    bool topLevelObject = false;
    bool departs = false;
    // A whole number in the signed 64-bit range, or what nlohmann made of a number with a
    // fraction or an exponent.
    std::optional<std::int64_t> exact;
    std::optional<double> rounded;

    bool null() override { return scalar({}, {}); }
    bool boolean(bool) override { return scalar({}, {}); }
    bool number_integer(number_integer_t value) override { return scalar(value, {}); }
    bool number_unsigned(number_unsigned_t value) override
    {
        if (value > std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
            return scalar({}, {});
        }
        return scalar(std::int64_t(value), {});
    }
    bool number_float(number_float_t value, const string_t&) override { return scalar({}, value); }
    bool string(string_t&) override { return scalar({}, {}); }
    bool binary(binary_t&) override { return scalar({}, {}); }
    bool start_object(std::size_t) override
    {
        topLevelObject = topLevelObject || depth == 0;
        return open();
    }
    bool key(string_t& name) override
    {
        portNext = depth == 1 && name == "port";
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(); }
    bool end_array() override { return close(); }
    bool parse_error(
        std::size_t, const std::string&, const nlohmann::detail::exception& error) override
    {
        departs = error.id == 406
            || std::string_view(error.what()).find("surrogate") != std::string_view::npos;
        return false;
    }

private:
    std::size_t depth = 0;
    bool portNext = false;

    bool scalar(std::optional<std::int64_t> value, std::optional<double> approximately)
    {
        if (depth == 1 && portNext) {
            exact = value;
            rounded = approximately;
            portNext = false;
        }
        return true;
    }
    bool open()
    {
        scalar({}, {});
        ++depth;
        return true;
    }
    bool close()
    {
        --depth;
        return true;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (text.find('\0') != std::string_view::npos) {
        return 0;
    }
    PortOracle oracle;
    bool parsed = Json::sax_parse(text.begin(), text.end(), &oracle);
    if (oracle.departs) {
        return 0;
    }
    auto port = ShadeLedgerZizadezavav::portFromSettingsText(text);
    bool object = parsed && oracle.topLevelObject;
    if (object && oracle.rounded) {
        // Rounded to a double, the exact whole number is what nlohmann read.
        if (port && static_cast<double>(*port) != *oracle.rounded) {
            std::abort();
        }
    } else if (port != (object ? oracle.exact : std::nullopt)) {
        std::abort();
    }
    return 0;
}
