#include "origin_policy.h"

#include <algorithm>
#include <cctype>

#include <asio/ip/address_v4.hpp>
#include <asio/ip/address_v6.hpp>

#include "quoted_text.h"

namespace {

constexpr int badRequest = 400;
constexpr int forbidden = 403;
constexpr int upgradeRequired = 426;

std::string lowered(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

bool allDigits(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

// Only the canonical dotted quad counts; browsers serialise IPv4 hosts that way, and
// anything looser ("127.1", octal, hex) is treated as a name, i.e. not loopback.
bool isLoopbackIpv4(std::string_view host) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t dot = host.find('.', start);
        parts.push_back(host.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
        if (dot == std::string_view::npos)
            break;
        start = dot + 1;
    }
    if (parts.size() != 4)
        return false;
    for (std::string_view part : parts) {
        if (part.empty() || part.size() > 3 || !allDigits(part) || (part.size() > 1 && part[0] == '0'))
            return false;
        if (std::stoi(std::string(part)) > 255)
            return false;
    }
    return parts[0] == "127";
}

bool isLoopbackIpv6(std::string_view literal) {
    asio::error_code ec;
    asio::ip::address_v6 address = asio::ip::make_address_v6(std::string(literal), ec);
    if (ec || address.scope_id() != 0)
        return false;
    if (address.is_loopback())
        return true;
    return address.is_v4_mapped() && asio::ip::make_address_v4(asio::ip::v4_mapped, address).to_bytes()[0] == 127;
}

// The authority's host is local: localhost, 127.0.0.0/8 or [::1]. The port must be
// empty or decimal; anything unparseable is not local.
bool isLocalAuthority(std::string_view authority) {
    std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    if (authority.empty())
        return false;

    std::string_view host;
    std::string_view rest;
    if (!authority.empty() && authority.front() == '[') {
        std::size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return false;
        host = authority.substr(1, close - 1);
        rest = authority.substr(close + 1);
    } else {
        std::size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
    }
    if (!rest.empty() && (rest.front() != ':' || !allDigits(rest.substr(1))))
        return false;

    if (authority.front() == '[')
        return isLoopbackIpv6(host);

    std::string name = lowered(host);
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    return name == "localhost" || isLoopbackIpv4(name);
}

// RFC 3986: a letter, then letters, digits, "+", "-" and ".".
bool isScheme(std::string_view text) {
    if (text.empty() || !std::isalpha(static_cast<unsigned char>(text.front())))
        return false;
    return std::all_of(text.begin(), text.end(),
                       [](unsigned char c) { return std::isalnum(c) != 0 || c == '+' || c == '-' || c == '.'; });
}

bool isForeignSingleOrigin(std::string_view origin) {
    std::size_t separator = origin.find("://");
    if (separator == std::string_view::npos)
        return true; // "null" and other opaque origins: a sandboxed frame or a data: URL
    std::string scheme = lowered(origin.substr(0, separator));
    if (!isScheme(scheme))
        return true; // not an origin at all
    if (scheme == "file")
        return false;
    bool web = scheme == "http" || scheme == "https" || scheme == "ws" || scheme == "wss";
    if (!web)
        return false; // an installed extension or app (chrome-extension://...)
    std::string_view authority = origin.substr(separator + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    return authority.empty() || !isLocalAuthority(authority);
}

} // namespace

bool isForeignWebOrigin(std::string_view origin) {
    // Repeated Origin headers arrive joined with ", "; each entry must pass.
    std::size_t position = 0;
    while (position < origin.size()) {
        std::size_t end = origin.find_first_of(", \t", position);
        if (end == std::string_view::npos)
            end = origin.size();
        if (end > position && isForeignSingleOrigin(origin.substr(position, end - position)))
            return true;
        position = end + 1;
    }
    return false;
}

namespace {

bool hasBareLineBreak(const HandshakeRequest& request) {
    auto breaks = [](std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; };
    if (breaks(request.method) || breaks(request.uri) || breaks(request.httpVersion))
        return true;
    return std::any_of(request.headers.begin(), request.headers.end(),
                       [&](const auto& header) { return breaks(header.first) || breaks(header.second); });
}

} // namespace

std::optional<HandshakeRefusal> judgeHandshake(const HandshakeRequest& request) {
    if (hasBareLineBreak(request))
        return HandshakeRefusal{badRequest, {}, "拒绝含有换行符的握手请求"};
    if (request.webSocketVersion != "13")
        return HandshakeRefusal{upgradeRequired,
                                {"Sec-WebSocket-Version", "13"},
                                "拒绝不支持的协议版本: " + quoteText(request.webSocketVersion)};
    if (isForeignWebOrigin(request.origin))
        return HandshakeRefusal{forbidden, {}, "拒绝来自外部网页的连接: " + quoteText(request.origin)};
    return std::nullopt;
}
