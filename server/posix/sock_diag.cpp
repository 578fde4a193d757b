#include "sock_diag.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The address as the kernel keeps it: four 32-bit words in network byte order (IPv4
// uses the first). An IPv4 address asked of AF_INET6 is written ::ffff:a.b.c.d.
std::array<std::uint32_t, 4> addressWords(const asio::ip::address& address, bool asIpv6) {
    std::array<std::uint32_t, 4> words{};
    if (address.is_v4() && !asIpv6) {
        const auto bytes = address.to_v4().to_bytes();
        std::memcpy(words.data(), bytes.data(), bytes.size());
        return words;
    }
    const asio::ip::address_v6 v6 =
        address.is_v6() ? address.to_v6() : asio::ip::make_address_v6(asio::ip::v4_mapped, address.to_v4());
    const auto bytes = v6.to_bytes();
    std::memcpy(words.data(), bytes.data(), bytes.size());
    return words;
}

// States in which the kernel reports the owner of the socket; a socket in TIME_WAIT or a
// connection request not yet accepted is answered with uid 0, which is nobody's (and
// would pass for ours when we run as root).
bool hasOwner(unsigned state) {
    switch (state) {
    case TCP_ESTABLISHED:
    case TCP_SYN_SENT:
    case TCP_FIN_WAIT1:
    case TCP_FIN_WAIT2:
    case TCP_CLOSE:
    case TCP_CLOSE_WAIT:
    case TCP_LAST_ACK:
    case TCP_CLOSING:
        return true;
    default:
        return false;
    }
}

std::string hexAddress(const asio::ip::tcp::endpoint& endpoint, bool asIpv6) {
    const auto words = addressWords(endpoint.address(), asIpv6);
    char text[48];
    int length = 0;
    // /proc prints each 32-bit word as the machine reads it, in hexadecimal.
    for (std::size_t i = 0; i < (asIpv6 ? 4u : 1u); ++i)
        length += std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length), "%08X", words[i]);
    std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length), ":%04X", endpoint.port());
    return text;
}

std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> result;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ')
            ++i;
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ')
            ++i;
        if (i > start)
            result.push_back(line.substr(start, i - start));
    }
    return result;
}

} // namespace

std::vector<unsigned char> sockDiagRequest(const asio::ip::tcp::endpoint& from, const asio::ip::tcp::endpoint& to,
                                           std::uint32_t sequence) {
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    const bool ipv6 = from.address().is_v6();
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    // No NLM_F_DUMP: the kernel looks up the one socket with this address pair.
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.header.nlmsg_seq = sequence;
    message.request.sdiag_family = ipv6 ? AF_INET6 : AF_INET;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    message.request.id.idiag_sport = htons(from.port());
    message.request.id.idiag_dport = htons(to.port());
    const auto source = addressWords(from.address(), ipv6);
    const auto destination = addressWords(to.address(), ipv6);
    std::memcpy(message.request.id.idiag_src, source.data(), sizeof message.request.id.idiag_src);
    std::memcpy(message.request.id.idiag_dst, destination.data(), sizeof message.request.id.idiag_dst);
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&message);
    return std::vector<unsigned char>(bytes, bytes + sizeof message);
}

SockDiagAnswer parseSockDiagAnswer(const unsigned char* data, std::size_t size, std::uint32_t sequence) {
    SockDiagAnswer answer;
    nlmsghdr header;
    if (size < sizeof header)
        return answer;
    std::memcpy(&header, data, sizeof header);
    if (header.nlmsg_len < sizeof header || header.nlmsg_len > size || header.nlmsg_seq != sequence)
        return answer;
    const unsigned char* payload = data + NLMSG_HDRLEN;
    const std::size_t payloadSize = header.nlmsg_len > NLMSG_HDRLEN ? header.nlmsg_len - NLMSG_HDRLEN : 0;
    if (header.nlmsg_type == NLMSG_ERROR) {
        nlmsgerr error;
        if (payloadSize < sizeof error)
            return answer;
        std::memcpy(&error, payload, sizeof error);
        answer.errorNumber = -error.error;
        answer.kind = error.error == -ENOENT ? SockDiagAnswer::Kind::NotFound : SockDiagAnswer::Kind::Failed;
        return answer;
    }
    inet_diag_msg found;
    if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY || payloadSize < sizeof found)
        return answer;
    std::memcpy(&found, payload, sizeof found);
    // A socket its process has closed (an orphan, inode 0) is reported as root's.
    if (!hasOwner(found.idiag_state) || found.idiag_inode == 0) {
        answer.kind = SockDiagAnswer::Kind::NotFound;
        return answer;
    }
    answer.kind = SockDiagAnswer::Kind::Found;
    answer.uid = found.idiag_uid;
    return answer;
}

std::optional<uid_t> uidFromProcNetTcp(std::string_view table, bool ipv6Table, const asio::ip::tcp::endpoint& from,
                                       const asio::ip::tcp::endpoint& to) {
    if (!ipv6Table && (from.address().is_v6() || to.address().is_v6()))
        return std::nullopt;
    const std::string local = hexAddress(from, ipv6Table);
    const std::string remote = hexAddress(to, ipv6Table);
    std::size_t start = 0;
    while (start < table.size()) {
        std::size_t end = table.find('\n', start);
        if (end == std::string_view::npos)
            end = table.size();
        const std::vector<std::string_view> row = fields(table.substr(start, end - start));
        start = end + 1;
        // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode
        if (row.size() < 10 || row[1] != local || row[2] != remote || row[9] == "0")
            continue;
        unsigned state = 0;
        if (std::sscanf(std::string(row[3]).c_str(), "%X", &state) != 1 || !hasOwner(state))
            continue;
        unsigned long uid = 0;
        if (std::sscanf(std::string(row[7]).c_str(), "%lu", &uid) != 1)
            continue;
        return static_cast<uid_t>(uid);
    }
    return std::nullopt;
}
