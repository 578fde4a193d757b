// Who is at the other end of a loopback connection, on Windows: the TCP table's row for
// the peer's end names a process, and that process's user is compared with ours. A pair
// made in this process is found and is ours; a process id of 0 or of a process that has
// ended is nobody's we can vouch for.
#include "peer_owner.h"
#include "win32/process_owner.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <asio.hpp>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

bool underWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

// A loopback connection, both ends in this process.
struct LoopbackPair {
    explicit LoopbackPair(const asio::ip::address& address)
        : acceptor(io, asio::ip::tcp::endpoint(address, 0)), client(io) {
        client.connect(acceptor.local_endpoint());
        accepted = std::make_unique<asio::ip::tcp::socket>(acceptor.accept());
    }

    asio::io_context io;
    asio::ip::tcp::acceptor acceptor;
    asio::ip::tcp::socket client;
    std::unique_ptr<asio::ip::tcp::socket> accepted;
};

// This test program again, suspended before it runs anything: a process of ours that
// is not this one.
class SuspendedChild {
public:
    SuspendedChild() {
        std::wstring self(MAX_PATH, L'\0');
        self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
        std::wstring commandLine = L"\"" + self + L"\" --gtest_filter=-*";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        started = CreateProcessW(self.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                                 nullptr, nullptr, &startup, &info);
    }
    ~SuspendedChild() { end(); }
    SuspendedChild(const SuspendedChild&) = delete;
    SuspendedChild& operator=(const SuspendedChild&) = delete;

    // Ends it and lets go of it, so that its id names no process any more.
    bool end() {
        if (!started)
            return false;
        started = false;
        TerminateProcess(info.hProcess, 1);
        const bool ended = WaitForSingleObject(info.hProcess, 30000) == WAIT_OBJECT_0;
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        return ended;
    }

    bool started = false;
    PROCESS_INFORMATION info{};
};

} // namespace

TEST(WindowsPeerOwner, LoopbackPairInThisProcessIsFoundAndOurs) {
    LoopbackPair pair(asio::ip::make_address("127.0.0.1"));
    PeerOwnerLookup lookup;
    const PeerIdentity identity =
        lookup.identify(pair.accepted->local_endpoint(), pair.accepted->remote_endpoint());
    if (underWine()) {
        // Wine 8 finds the row but names process 0 as the owner of the asking process's
        // own connections (another Wine program's carry its id, which the recorder's
        // same-user test relies on), so here the table cannot vouch for the peer.
        EXPECT_EQ(identity.owner, PeerOwner::Unknown);
        EXPECT_EQ(identity.detail, "TCP 表中对端的连接没有所属进程");
    } else {
        EXPECT_EQ(identity.owner, PeerOwner::Us) << identity.detail;
    }
}

TEST(WindowsPeerOwner, PeerWithoutARowInTheTableIsUnknown) {
    LoopbackPair pair(asio::ip::make_address("127.0.0.1"));
    // A port next to the client's: nothing connected to us from there.
    asio::ip::tcp::endpoint stray = pair.accepted->remote_endpoint();
    stray.port(stray.port() == 65535 ? 65534 : stray.port() + 1);
    ASSERT_NE(stray.port(), pair.acceptor.local_endpoint().port());
    PeerOwnerLookup lookup;
    const PeerIdentity identity = lookup.identify(pair.accepted->local_endpoint(), stray);
    EXPECT_EQ(identity.owner, PeerOwner::Unknown) << identity.detail;
    EXPECT_EQ(identity.detail, "TCP 表中没有对端的连接");
}

TEST(WindowsPeerOwner, ProcessZeroIsNobodysWeKnow) {
    const PeerIdentity identity = ProcessOwners().identify(0);
    EXPECT_EQ(identity.owner, PeerOwner::Unknown);
    EXPECT_EQ(identity.detail, "TCP 表中对端的连接没有所属进程");
}

TEST(WindowsPeerOwner, AnotherProcessOfOursIsOursUntilItHasEnded) {
    SuspendedChild child;
    ASSERT_TRUE(child.started) << "CreateProcessW failed: " << GetLastError();
    const unsigned long pid = child.info.dwProcessId;
    const ProcessOwners owners;
    const PeerIdentity running = owners.identify(pid);
    EXPECT_EQ(running.owner, PeerOwner::Us) << running.detail;
    ASSERT_TRUE(child.end()) << "the child did not end";
    // Wine lets go of an ended process a little after it reports it ended.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (HANDLE still = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)) {
        CloseHandle(still);
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "process " << pid << " can still be opened";
        std::this_thread::sleep_for(10ms);
    }
    const PeerIdentity vanished = owners.identify(pid);
    EXPECT_EQ(vanished.owner, PeerOwner::Unknown) << vanished.detail;
    EXPECT_EQ(vanished.detail, "无法打开对端进程 " + std::to_string(pid));
}
