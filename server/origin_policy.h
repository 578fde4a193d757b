#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Who may have the microphone: the decision on one WebSocket handshake, taken from what
// the request shows. Pure functions: no endpoint, no socket, no log; the endpoint asks
// and carries out the answer.

// True when an Origin header value may be a web page the user merely visits, whose
// handshake is refused: a web origin (http, https, ws, wss) whose host is not this
// machine (localhost, 127.0.0.0/8, [::1]), and an opaque origin ("null", sent for
// sandboxed frames and data: URLs, or anything else that is no scheme://... value).
// An empty value (native clients send no Origin), file:// and the other schemes
// (browser extensions, desktop apps) are not foreign. A value that lists several
// origins is foreign when any of them is.
bool isForeignWebOrigin(std::string_view origin);

// What the decision looks at in a handshake request.
struct HandshakeRequest {
    std::string_view method;
    std::string_view uri;
    std::string_view httpVersion;
    // Every header as received, names and values.
    std::vector<std::pair<std::string_view, std::string_view>> headers;
    std::string_view webSocketVersion; // Sec-WebSocket-Version
    std::string_view origin;           // empty when the request has none
};

// A refused handshake: the HTTP status to answer with, an extra header of the answer
// (name and value, or empty), and the warning to log (peer text quoted).
struct HandshakeRefusal {
    int status = 403;
    std::pair<std::string, std::string> header;
    std::string warning;
};

// Nothing when the handshake may go on. Refused: header lines holding a bare CR or LF
// (the library would quote them in its access log on standard output), protocol versions
// other than 13 (older drafts take the origin from a header no browser sends, so the
// origin check would not protect them), and foreign web origins.
std::optional<HandshakeRefusal> judgeHandshake(const HandshakeRequest& request);
