#include "device/device_protocol.h"

#include "device/rfc2217_protocol.h"
#include "device/socket_protocol.h"
#include "device/vorlix_protocol.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view RAW_TCP_SCHEME = "socket://";
constexpr std::string_view RFC2217_SCHEME = "rfc2217://";

bool isNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

bool isIpv6Char(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
}

// 1..65535 in decimal digits, nothing else.
std::optional<uint16_t> portNumber(std::string_view text) {
    if (text.empty() || text.size() > 5 || text.front() == '0')
        return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + unsigned(c - '0');
    }
    if (value > 65535)
        return std::nullopt;
    return uint16_t(value);
}

// HOST:PORT after the scheme.
std::optional<DialTarget> hostAndPort(std::string_view rest) {
    size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    std::string_view host = rest.substr(0, colon);
    std::optional<uint16_t> port = portNumber(rest.substr(colon + 1));
    if (!port)
        return std::nullopt;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        if (host.find(':') == std::string_view::npos ||
            !std::all_of(host.begin(), host.end(), isIpv6Char))
            return std::nullopt;
    } else if (host.empty() || !std::all_of(host.begin(), host.end(), isNameChar)) {
        return std::nullopt;
    }
    return DialTarget{std::string(host), *port};
}

} // namespace

std::optional<DialTarget> serverUrlTarget(const char* address) {
    std::string_view text(address ? address : "");
    for (std::string_view scheme : {RAW_TCP_SCHEME, RFC2217_SCHEME})
        if (text.substr(0, scheme.size()) == scheme)
            return hostAndPort(text.substr(scheme.size()));
    return std::nullopt;
}

ProtocolKind protocolFor(const char* address) {
    if (!serverUrlTarget(address))
        return ProtocolKind::Vorlix;
    return std::string_view(address).starts_with(RAW_TCP_SCHEME) ? ProtocolKind::RawTcp
                                                                 : ProtocolKind::Rfc2217;
}

std::shared_ptr<DeviceProtocol> makeProtocol(ProtocolKind kind) {
    switch (kind) {
    case ProtocolKind::Vorlix:
        break;
    case ProtocolKind::RawTcp:
        return std::make_shared<SocketProtocol>();
    case ProtocolKind::Rfc2217:
        return std::make_shared<Rfc2217Protocol>();
    }
    return std::make_shared<VorlixProtocol>();
}
