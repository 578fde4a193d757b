#include "wake_up.h"

#include <windows.h>

#include <climits>
#include <system_error>

struct WakeUp::Handle {
    HANDLE semaphore = nullptr;
};

WakeUp::WakeUp() : handle(std::make_unique<Handle>()) {
    handle->semaphore = CreateSemaphoreW(nullptr, 0, LONG_MAX, nullptr);
    if (!handle->semaphore)
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "CreateSemaphore");
}

WakeUp::~WakeUp() { CloseHandle(handle->semaphore); }

void WakeUp::give() { ReleaseSemaphore(handle->semaphore, 1, nullptr); }

bool WakeUp::waitUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    const DWORD timeout = left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
    return WaitForSingleObject(handle->semaphore, timeout) == WAIT_OBJECT_0;
}
