// Reports what Windows itself knows about the settings window, for the window tests that
// drive the Windows build under Wine: there the X11 side shows only Wine's translation.
// Usage: window_probe.exe [minimize]; prints one line
//   found=1 style=0x... exstyle=0x... rect=L,T,R,B client=X,Y,W,H
// (client: the client area's origin relative to the window's, and its size),
// or found=0 when no top-level window of the panel's class and title exists.
// With "minimize" it first minimises the window the way another program (or the
// desktop's "show desktop") can, although the panel offers no minimise box.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    // Pixels as they are, not as Windows scales them for programs unaware of the DPI.
    SetProcessDPIAware();
    const wchar_t* title = L"Sondrel: 音频控制面板";
    HWND window = FindWindowW(title, title);
    if (!window) {
        std::printf("found=0\n");
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "minimize") == 0)
        ShowWindow(window, SW_MINIMIZE);
    RECT outer{};
    GetWindowRect(window, &outer);
    RECT client{};
    GetClientRect(window, &client);
    POINT origin{0, 0};
    ClientToScreen(window, &origin);
    std::printf("found=1 style=0x%08lx exstyle=0x%08lx rect=%ld,%ld,%ld,%ld client=%ld,%ld,%ld,%ld\n",
                static_cast<unsigned long>(GetWindowLongW(window, GWL_STYLE)),
                static_cast<unsigned long>(GetWindowLongW(window, GWL_EXSTYLE)), outer.left, outer.top,
                outer.right, outer.bottom, origin.x - outer.left, origin.y - outer.top, client.right,
                client.bottom);
    return 0;
}
