// What the peer lookup costs per accepted connection: the kernel's socket-diagnostics
// query (the normal case), the /proc/net fallback, and nothing (the build before).
#include <benchmark/benchmark.h>

#include <asio.hpp>

#include "peer_owner.h"
#include "posix/sock_diag.h"

#include <fstream>
#include <iterator>

namespace {

struct Connection {
    Connection() : acceptor(io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)), client(io) {
        client.connect(acceptor.local_endpoint());
        accepted = std::make_unique<asio::ip::tcp::socket>(acceptor.accept());
    }
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor;
    asio::ip::tcp::socket client;
    std::unique_ptr<asio::ip::tcp::socket> accepted;
};

void BM_PeerLookupSockDiag(benchmark::State& state) {
    Connection c;
    PeerOwnerLookup lookup;
    const auto ours = c.accepted->local_endpoint();
    const auto peer = c.accepted->remote_endpoint();
    for (auto _ : state)
        benchmark::DoNotOptimize(lookup.identify(ours, peer));
}
BENCHMARK(BM_PeerLookupSockDiag);

void BM_PeerLookupProcNetTcp(benchmark::State& state) {
    Connection c;
    const auto ours = c.accepted->local_endpoint();
    const auto peer = c.accepted->remote_endpoint();
    for (auto _ : state) {
        std::ifstream file("/proc/net/tcp");
        const std::string table((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        benchmark::DoNotOptimize(uidFromProcNetTcp(table, false, peer, ours));
    }
}
BENCHMARK(BM_PeerLookupProcNetTcp);

// The baseline: what accepting costs without any lookup, for scale.
void BM_AcceptWithoutLookup(benchmark::State& state) {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    for (auto _ : state) {
        asio::ip::tcp::socket client(io);
        client.connect(acceptor.local_endpoint());
        asio::ip::tcp::socket accepted = acceptor.accept();
        benchmark::DoNotOptimize(accepted.native_handle());
    }
}
BENCHMARK(BM_AcceptWithoutLookup);

} // namespace

BENCHMARK_MAIN();
