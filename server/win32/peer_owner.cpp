#include "peer_owner.h"
#include "win32/process_owner.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <cstring>
#include <optional>
#include <string>
#include <vector>

// Windows: the TCP tables name the process that owns each end of a connection; whose
// that process is, ProcessOwners tells.
namespace {

DWORD portOf(const asio::ip::tcp::endpoint& endpoint) { return htons(endpoint.port()); }

} // namespace

struct PeerOwnerLookup::Impl {
    std::optional<DWORD> owningProcess(const asio::ip::tcp::endpoint& from, const asio::ip::tcp::endpoint& to);
    // Fills `table` with one of the system's TCP tables; false when it cannot be had.
    bool readTable(ULONG family);

    ProcessOwners owners;
    std::vector<unsigned char> table;
};

bool PeerOwnerLookup::Impl::readTable(ULONG family) {
    // The table may grow between asking its size and reading it.
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = static_cast<DWORD>(table.size());
        const DWORD result = GetExtendedTcpTable(table.empty() ? nullptr : table.data(), &size, FALSE, family,
                                                 TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
        if (result == NO_ERROR)
            return true;
        if (result != ERROR_INSUFFICIENT_BUFFER)
            return false;
        table.resize(size + 4096);
    }
    return false;
}

std::optional<DWORD> PeerOwnerLookup::Impl::owningProcess(const asio::ip::tcp::endpoint& from,
                                                          const asio::ip::tcp::endpoint& to) {
    // A client may reach 127.0.0.1 from an IPv6 socket, as ::ffff:127.0.0.1.
    if (from.address().is_v4() && to.address().is_v4() && readTable(AF_INET)) {
        const auto* rows = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(table.data());
        const DWORD fromAddress = htonl(from.address().to_v4().to_uint());
        const DWORD toAddress = htonl(to.address().to_v4().to_uint());
        for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
            const MIB_TCPROW_OWNER_PID& row = rows->table[i];
            if (row.dwLocalAddr == fromAddress && (row.dwLocalPort & 0xFFFF) == portOf(from) &&
                row.dwRemoteAddr == toAddress && (row.dwRemotePort & 0xFFFF) == portOf(to))
                return row.dwOwningPid;
        }
    }
    if (readTable(AF_INET6)) {
        auto asV6 = [](const asio::ip::address& address) {
            return address.is_v6() ? address.to_v6()
                                   : asio::ip::make_address_v6(asio::ip::v4_mapped, address.to_v4());
        };
        const auto fromBytes = asV6(from.address()).to_bytes();
        const auto toBytes = asV6(to.address()).to_bytes();
        const auto* rows = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(table.data());
        for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
            const MIB_TCP6ROW_OWNER_PID& row = rows->table[i];
            if (std::memcmp(row.ucLocalAddr, fromBytes.data(), 16) == 0 &&
                (row.dwLocalPort & 0xFFFF) == portOf(from) &&
                std::memcmp(row.ucRemoteAddr, toBytes.data(), 16) == 0 &&
                (row.dwRemotePort & 0xFFFF) == portOf(to))
                return row.dwOwningPid;
        }
    }
    return std::nullopt;
}

PeerOwnerLookup::PeerOwnerLookup() : impl(std::make_unique<Impl>()) {}
PeerOwnerLookup::~PeerOwnerLookup() = default;

PeerIdentity PeerOwnerLookup::identify(const asio::ip::tcp::endpoint& ours, const asio::ip::tcp::endpoint& peer) {
    const std::optional<DWORD> pid = impl->owningProcess(peer, ours);
    if (!pid)
        return {PeerOwner::Unknown, "TCP 表中没有对端的连接"};
    return impl->owners.identify(*pid);
}
