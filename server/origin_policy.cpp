#include "origin_policy.h"

#include <algorithm>
#include <cctype>

#include <asio/ip/address_v4.hpp>
#include <asio/ip/address_v6.hpp>

#include "quoted_text.h"
#include "stream_options.h"

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
        return HandshakeRefusal{badRequest, {}, "拒绝含有换行符的握手请求", "拒绝含有换行符的握手请求", {}};
    if (request.webSocketVersion != "13")
        return HandshakeRefusal{upgradeRequired,
                                {"Sec-WebSocket-Version", "13"},
                                "拒绝不支持的协议版本: " + quoteText(request.webSocketVersion),
                                "拒绝不支持的协议版本",
                                {}};
    if (isForeignWebOrigin(request.origin))
        return HandshakeRefusal{
            forbidden, {}, "拒绝来自外部网页的连接: " + quoteText(request.origin), "拒绝来自外部网页的连接", {}};
    if (!request.expectedToken.empty()) {
        const std::optional<std::string_view> presented = tokenInUri(request.uri);
        // Neither the path nor the guess is logged: a guess may be most of the token.
        if (!presented || !tokensMatch(request.expectedToken, *presented))
            return HandshakeRefusal{forbidden, {}, "拒绝令牌不符的连接", "拒绝令牌不符的连接", {}};
    }
    // Only a peer the rules above let in learns what it asked wrongly.
    const ParsedStreamOptions asked = parseStreamOptions(request.uri);
    if (!asked.ok())
        return HandshakeRefusal{badRequest,
                                {"Content-Type", "text/plain; charset=utf-8"},
                                "拒绝无效的音频流参数: " + asked.problem,
                                "拒绝无效的音频流参数",
                                asked.problem};
    return std::nullopt;
}

namespace {

bool isTokenCharacter(unsigned char c) { return std::isalnum(c) != 0 || c == '_' || c == '-'; }

} // namespace

std::optional<std::string> tokenProblem(std::string_view token) {
    for (std::size_t i = 0; i < token.size(); ++i) {
        if (!isTokenCharacter(static_cast<unsigned char>(token[i])))
            return "第 " + std::to_string(i + 1) + " 个字符不是字母、数字、\"_\" 或 \"-\"";
    }
    if (token.size() < minimumTokenLength)
        return "只有 " + std::to_string(token.size()) + " 个字符, 至少需要 " + std::to_string(minimumTokenLength) +
               " 个";
    return std::nullopt;
}

std::optional<std::string_view> tokenInUri(std::string_view uri) {
    uri = uri.substr(0, uri.find('#'));
    std::size_t question = uri.find('?');
    if (question == std::string_view::npos)
        return std::nullopt;
    std::string_view query = uri.substr(question + 1);
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        if (pair.substr(0, 6) == "token=")
            return pair.substr(6);
        if (amp == std::string_view::npos)
            break;
        query.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

bool tokensMatch(std::string_view ours, std::string_view presented) {
    // Every byte of ours is looked at, whatever the presented one holds; the loop has no
    // early exit for the compiler to add either, since the result is only read at the end.
    volatile unsigned char difference = ours.size() == presented.size() ? 0 : 1;
    for (std::size_t i = 0; i < ours.size(); ++i) {
        const unsigned char theirs = i < presented.size() ? static_cast<unsigned char>(presented[i]) : 0;
        difference = difference | static_cast<unsigned char>(static_cast<unsigned char>(ours[i]) ^ theirs);
    }
    return !ours.empty() && difference == 0;
}

std::string withTokensHidden(std::string_view text) {
    static constexpr std::string_view key = "token=";
    std::string result;
    result.reserve(text.size());
    std::size_t position = 0;
    for (;;) {
        const std::size_t found = text.find(key, position);
        if (found == std::string_view::npos)
            break;
        std::size_t end = found + key.size();
        while (end < text.size() && text[end] != '&' && text[end] != '#' &&
               !std::isspace(static_cast<unsigned char>(text[end])))
            ++end;
        result.append(text.substr(position, found + key.size() - position));
        result.append("***");
        position = end;
    }
    result.append(text.substr(position));
    return result;
}
