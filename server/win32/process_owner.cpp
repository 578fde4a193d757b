#include "win32/process_owner.h"

#include <windows.h>

#include <string>

namespace {

class Handle {
public:
    explicit Handle(HANDLE handle = nullptr) : handle(handle) {}
    ~Handle() {
        if (handle)
            CloseHandle(handle);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle; }
    HANDLE* out() { return &handle; }

private:
    HANDLE handle;
};

// The user SID of a process token, in a buffer that keeps it alive.
std::vector<unsigned char> tokenUser(HANDLE process) {
    Handle token;
    if (!OpenProcessToken(process, TOKEN_QUERY, token.out()))
        return {};
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size == 0)
        return {};
    std::vector<unsigned char> buffer(size);
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size))
        return {};
    return buffer;
}

PSID sidOf(const std::vector<unsigned char>& user) {
    return reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
}

} // namespace

ProcessOwners::ProcessOwners() : ourUser(tokenUser(GetCurrentProcess())) {}

PeerIdentity ProcessOwners::identify(unsigned long pid) const {
    // Wine shows connections of programs that are not its own with process 0.
    if (pid == 0)
        return {PeerOwner::Unknown, "TCP 表中对端的连接没有所属进程"};
    if (pid == GetCurrentProcessId())
        return {PeerOwner::Us, {}};
    Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process.get())
        return {PeerOwner::Unknown, "无法打开对端进程 " + std::to_string(pid)};
    const std::vector<unsigned char> theirs = tokenUser(process.get());
    if (theirs.empty() || ourUser.empty())
        return {PeerOwner::Unknown, "无法读取进程 " + std::to_string(pid) + " 的用户"};
    if (EqualSid(sidOf(theirs), sidOf(ourUser)))
        return {PeerOwner::Us, {}};
    return {PeerOwner::SomeoneElse, "进程 " + std::to_string(pid) + " 属于其他用户"};
}
