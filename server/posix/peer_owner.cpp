#include "peer_owner.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <string>

#include "sock_diag.h"

// Linux: the kernel's socket-diagnostics interface answers the owner of one socket by
// its address pair; where it is not available (no netlink in a confined container, no
// inet_diag support), the tables in /proc/net say the same, at a higher cost.
struct PeerOwnerLookup::Impl {
    ~Impl() {
        if (netlink >= 0)
            ::close(netlink);
    }

    SockDiagAnswer askKernel(const asio::ip::tcp::endpoint& from, const asio::ip::tcp::endpoint& to);
    std::optional<uid_t> readProcTables(const asio::ip::tcp::endpoint& from, const asio::ip::tcp::endpoint& to);
    std::optional<uid_t> owner(const asio::ip::tcp::endpoint& ours, const asio::ip::tcp::endpoint& peer);

    int netlink = -1;
    bool netlinkTried = false;
    // Set once the kernel has found a socket: from then on "not found" means the
    // peer has gone, and the tables in /proc would not know it either.
    bool kernelAnswers = false;
    std::uint32_t sequence = 0;
};

SockDiagAnswer PeerOwnerLookup::Impl::askKernel(const asio::ip::tcp::endpoint& from,
                                                const asio::ip::tcp::endpoint& to) {
    SockDiagAnswer failed;
    failed.kind = SockDiagAnswer::Kind::Failed;
    if (!netlinkTried) {
        netlinkTried = true;
        netlink = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        if (netlink >= 0) {
            // The kernel answers while it takes the request; the wait only guards
            // against a kernel that never does.
            timeval wait{0, 200 * 1000};
            ::setsockopt(netlink, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        }
    }
    if (netlink < 0)
        return failed;
    const std::uint32_t asked = ++sequence;
    const std::vector<unsigned char> request = sockDiagRequest(from, to, asked);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(netlink, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) <
        0)
        return failed;
    // Answers to an earlier request that timed out may still be queued: skip them.
    for (int attempt = 0; attempt < 8; ++attempt) {
        alignas(nlmsghdr) unsigned char buffer[8192];
        const ssize_t received = ::recv(netlink, buffer, sizeof buffer, 0);
        if (received < 0 && errno == EINTR)
            continue;
        if (received <= 0)
            return failed;
        const SockDiagAnswer answer = parseSockDiagAnswer(buffer, static_cast<std::size_t>(received), asked);
        if (answer.kind != SockDiagAnswer::Kind::Malformed)
            return answer;
    }
    return failed;
}

std::optional<uid_t> PeerOwnerLookup::Impl::readProcTables(const asio::ip::tcp::endpoint& from,
                                                           const asio::ip::tcp::endpoint& to) {
    for (const bool ipv6 : {false, true}) {
        std::ifstream file(ipv6 ? "/proc/net/tcp6" : "/proc/net/tcp");
        const std::string table((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (auto uid = uidFromProcNetTcp(table, ipv6, from, to))
            return uid;
    }
    return std::nullopt;
}

std::optional<uid_t> PeerOwnerLookup::Impl::owner(const asio::ip::tcp::endpoint& ours,
                                                  const asio::ip::tcp::endpoint& peer) {
    const SockDiagAnswer answer = askKernel(peer, ours);
    if (answer.kind == SockDiagAnswer::Kind::Found) {
        kernelAnswers = true;
        return answer.uid;
    }
    if (answer.kind == SockDiagAnswer::Kind::NotFound) {
        if (kernelAnswers)
            return std::nullopt;
        // Does the kernel find sockets at all? Our own end of this connection exists.
        if (askKernel(ours, peer).kind == SockDiagAnswer::Kind::Found) {
            kernelAnswers = true;
            return std::nullopt;
        }
    }
    return readProcTables(peer, ours);
}

PeerOwnerLookup::PeerOwnerLookup() : impl(std::make_unique<Impl>()) {}
PeerOwnerLookup::~PeerOwnerLookup() = default;

PeerIdentity PeerOwnerLookup::identify(const asio::ip::tcp::endpoint& ours, const asio::ip::tcp::endpoint& peer) {
    const std::optional<uid_t> uid = impl->owner(ours, peer);
    if (!uid)
        return {PeerOwner::Unknown, "无法确认对端所属的用户"};
    if (*uid == ::geteuid())
        return {PeerOwner::Us, {}};
    return {PeerOwner::SomeoneElse, "用户 " + std::to_string(*uid)};
}
