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
    // The token the parent gave us; empty when it gave none and any path is accepted.
    std::string_view expectedToken;
};

// A refused handshake: the HTTP status to answer with, an extra header of the answer
// (name and value, or empty), the warning to log (peer text quoted), the kind of
// refusal, the warning without what the peer sent: repeated refusals are counted by kind,
// and the answer's body (empty for none).
struct HandshakeRefusal {
    int status = 403;
    std::pair<std::string, std::string> header;
    std::string warning;
    std::string kind;
    std::string body;
};

// Nothing when the handshake may go on. Refused: header lines holding a bare CR or LF
// (the library would quote them in its access log on standard output), protocol versions
// other than 13 (older drafts take the origin from a header no browser sends, so the
// origin check would not protect them), foreign web origins, when a token is expected,
// a request path without that token, and then, from a peer let in so far, stream
// options that cannot be served (400, the reason in the body).
std::optional<HandshakeRefusal> judgeHandshake(const HandshakeRequest& request);

// A token the parent may hand us: at least minimumTokenLength characters, each a letter,
// a digit, "_" or "-" (what base64url makes of random bytes). Nothing when it is good,
// else why it is not (the token itself is never part of the text).
constexpr std::size_t minimumTokenLength = 32;
std::optional<std::string> tokenProblem(std::string_view token);

// The value of the query parameter "token" in a request URI (its first occurrence),
// nothing when there is none. Taken as it stands: a valid token needs no percent-encoding.
std::optional<std::string_view> tokenInUri(std::string_view uri);

// Compares a presented token with ours in a time that depends only on the two lengths,
// so that the time of a refusal tells nothing about how much of a guess was right.
bool tokensMatch(std::string_view ours, std::string_view presented);

// The text with the value of every "token=" parameter replaced by "***": for lines that
// quote a request path (the library's access log) while a token is in use.
std::string withTokensHidden(std::string_view text);
