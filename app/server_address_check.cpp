#include "app/server_address_check.h"

#include "config/port_table.h"
#include "device/device_protocol.h"

#include <cctype>
#include <string_view>

namespace {

constexpr std::string_view SCHEMES[] = {"rfc2217://", "socket://"};

// The current host holds this many characters; a longer entry could never become it.
constexpr size_t CURRENT_HOST_CHARS = sizeof(PortRecord::curAddress) - 1;

constexpr const char* BAD_KIND =
    "Invalid server type.\nPlease enter rfc2217://HOST:PORT or socket://HOST:PORT.";
constexpr const char* BAD_PORT =
    "Invalid TCP port number.\nPlease enter a port number from 1 to 65535 after the host.";
constexpr const char* BAD_HOST = "Invalid host name.\nPlease enter a name, an IPv4 address or "
                                 "an IPv6 address in brackets.";
constexpr const char* TOO_LONG = "Server address too long.\nPlease enter at most 49 characters.";

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i])
            return false;
    return true;
}

// A scheme of any name, or a kind's name before a colon in any letter case: what a
// user types to ask for a kind. No Vorlix address has ":/", and the colons of an IPv6
// address never follow "rfc2217" or "socket".
bool asksForAKind(std::string_view text) {
    return text.find(":/") != std::string_view::npos || startsWithNoCase(text, "rfc2217:") ||
           startsWithNoCase(text, "socket:");
}

bool parses(std::string_view scheme, std::string_view rest) {
    return serverUrlTarget((std::string(scheme) + std::string(rest)).c_str()).has_value();
}

// Which half of HOST:PORT the rule refuses: PORT (after the last colon, as in the
// rule) tried behind a host it takes; when that passes, HOST is what it refused.
const char* partRefusal(std::string_view scheme, std::string_view rest) {
    size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos ||
        !parses(scheme, std::string("h") + std::string(rest.substr(colon))))
        return BAD_PORT;
    return BAD_HOST;
}

} // namespace

const char* serverAddressRefusal(const std::string& address) {
    if (!asksForAKind(address))
        return nullptr;
    for (std::string_view scheme : SCHEMES) {
        if (!std::string_view(address).starts_with(scheme))
            continue;
        if (!serverUrlTarget(address.c_str()))
            return partRefusal(scheme, std::string_view(address).substr(scheme.size()));
        return address.size() > CURRENT_HOST_CHARS ? TOO_LONG : nullptr;
    }
    return BAD_KIND;
}
