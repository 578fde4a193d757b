#pragma once

#include <string>
#include <string_view>

#include "origin_policy.h"

// A well-formed WebSocket handshake for `uri`, from a server that expects `token`.
inline const std::string testToken = "abcdefghijklmnopqrstuvwxyzABCDEF0123456789_-";

inline HandshakeRequest requestFor(std::string_view uri, std::string_view origin = {}) {
    HandshakeRequest request;
    request.method = "GET";
    request.uri = uri;
    request.httpVersion = "HTTP/1.1";
    request.webSocketVersion = "13";
    request.origin = origin;
    request.expectedToken = testToken;
    return request;
}
