// Panel window backend: Win32 + Direct3D 9.
// Implemented: the tool window (topmost, caption and close box, not resizable) at (100, 100),
//              500 x 176 outside; Direct3D 9 presenting at vertical sync; device reset on
//              WM_SIZE and after a lost device; the close box posted back as WM_USER and
//              seen by the message pump; ImGui's Win32 and DX9 backends.
// Also:        where Present does not wait for vertical sync (Wine on a virtual display),
//              the frame is paced to the display's refresh period so the loop cannot spin.
#include "panel_window.h"

#include "frame_pacer.h"

#include <windows.h>

#include <d3d9.h>
#include <imgui.h>
#include <backends/imgui_impl_dx9.h>
#include <backends/imgui_impl_win32.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>

// Declared in the backend's header only inside "#if 0", to keep <windows.h> out of it.
extern IMGUI_IMPL_API LRESULT ImGui_ImplWin32_WndProcHandler(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);

namespace {

constexpr const wchar_t* windowTitle = L"Sondrel: 音频控制面板";
constexpr DWORD windowExStyle = WS_EX_TOOLWINDOW | WS_EX_TOPMOST | WS_EX_DLGMODALFRAME;
constexpr DWORD windowStyle = WS_CAPTION | WS_SYSMENU;
constexpr int windowX = 100;
constexpr int windowY = 100;
constexpr int outerWidth = 500;
constexpr int outerHeight = 176;
constexpr const char* fontPath = "./SourceHanSansSC-VF.ttf";
constexpr float fontSize = 16.0f;
constexpr D3DCOLOR clearColour = D3DCOLOR_RGBA(114, 140, 153, 255);
constexpr int fallbackRefreshRate = 60;

// The window procedure is a plain callback without user data, so the device it resets on
// WM_SIZE lives here. One panel exists at a time, on the main thread.
struct PanelGraphics {
    IDirect3D9* direct3d = nullptr;
    IDirect3DDevice9* device = nullptr;
    D3DPRESENT_PARAMETERS presentParameters{};
};
PanelGraphics graphics;

void resetDevice() {
    // Both backend calls do nothing while no ImGui context with the DX9 backend exists,
    // as when WM_SIZE arrives during the window's creation.
    ImGui_ImplDX9_InvalidateDeviceObjects();
    graphics.device->Reset(&graphics.presentParameters);
    ImGui_ImplDX9_CreateDeviceObjects();
}

void releaseGraphics() {
    if (graphics.device) {
        graphics.device->Release();
        graphics.device = nullptr;
    }
    if (graphics.direct3d) {
        graphics.direct3d->Release();
        graphics.direct3d = nullptr;
    }
}

LRESULT WINAPI panelWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (ImGui_ImplWin32_WndProcHandler(hwnd, message, wParam, lParam))
        return 1;
    switch (message) {
    case WM_SIZE:
        if (graphics.device && wParam != SIZE_MINIMIZED) {
            graphics.presentParameters.BackBufferWidth = LOWORD(lParam);
            graphics.presentParameters.BackBufferHeight = HIWORD(lParam);
            resetDevice();
        }
        return 0;
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == SC_KEYMENU) // Alt does not open the window menu
            return 0;
        break;
    case WM_CLOSE:
        // Not destroyed here: the frame's message pump sees WM_USER and hides the panel.
        PostMessageW(hwnd, WM_USER, 0, 0);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

std::runtime_error win32Failure(const std::string& what) {
    return std::runtime_error(what + " failed, error " + std::to_string(GetLastError()));
}

std::chrono::steady_clock::duration refreshPeriod() {
    DEVMODEW mode{};
    mode.dmSize = sizeof mode;
    int rate = 0;
    if (EnumDisplaySettingsW(nullptr, ENUM_CURRENT_SETTINGS, &mode))
        rate = static_cast<int>(mode.dmDisplayFrequency);
    // 0 and 1 stand for the hardware's default rate.
    if (rate <= 1)
        rate = fallbackRefreshRate;
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(1.0 / rate));
}

bool fontReadable() {
    std::FILE* file = std::fopen(fontPath, "rb");
    if (!file)
        return false;
    const bool hasBytes = std::fseek(file, 0, SEEK_END) == 0 && std::ftell(file) > 0;
    std::fclose(file);
    return hasBytes;
}

} // namespace

struct PanelWindow::Impl {
    WNDCLASSEXW windowClass{};
    HWND hwnd = nullptr;
    bool imgui = false;
    std::chrono::steady_clock::duration period{};
    std::chrono::steady_clock::time_point lastPresent{};

    ~Impl() {
        if (imgui) {
            ImGui_ImplDX9_Shutdown();
            ImGui_ImplWin32_Shutdown();
            ImGui::DestroyContext();
        }
        releaseGraphics();
        if (hwnd)
            DestroyWindow(hwnd); // WM_DESTROY arrives while the ImGui context is already gone
        UnregisterClassW(windowClass.lpszClassName, windowClass.hInstance);
    }
};

PanelWindow::Opened PanelWindow::open() {
    auto impl = std::make_unique<Impl>();
    WNDCLASSEXW& wc = impl->windowClass;
    wc.cbSize = sizeof wc;
    wc.style = CS_CLASSDC;
    wc.lpfnWndProc = panelWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = windowTitle;
    RegisterClassExW(&wc);

    impl->hwnd = CreateWindowExW(windowExStyle, wc.lpszClassName, windowTitle, windowStyle, windowX, windowY,
                                 outerWidth, outerHeight, nullptr, nullptr, wc.hInstance, nullptr);
    if (!impl->hwnd)
        throw win32Failure("CreateWindowExW");

    Opened opened;
    if (!SetWindowPos(impl->hwnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_SHOWWINDOW))
        opened.topmostError = GetLastError();

    graphics.direct3d = Direct3DCreate9(D3D_SDK_VERSION);
    if (!graphics.direct3d)
        throw std::runtime_error("Direct3DCreate9 failed");
    graphics.presentParameters = D3DPRESENT_PARAMETERS{};
    graphics.presentParameters.Windowed = TRUE;
    graphics.presentParameters.SwapEffect = D3DSWAPEFFECT_DISCARD;
    graphics.presentParameters.BackBufferFormat = D3DFMT_UNKNOWN;
    graphics.presentParameters.EnableAutoDepthStencil = TRUE;
    graphics.presentParameters.AutoDepthStencilFormat = D3DFMT_D16;
    graphics.presentParameters.PresentationInterval = D3DPRESENT_INTERVAL_ONE;
    const HRESULT created =
        graphics.direct3d->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, impl->hwnd, D3DCREATE_HARDWARE_VERTEXPROCESSING,
                                        &graphics.presentParameters, &graphics.device);
    if (FAILED(created)) {
        graphics.device = nullptr;
        throw std::runtime_error("IDirect3D9::CreateDevice failed, HRESULT " + std::to_string(created));
    }

    ShowWindow(impl->hwnd, SW_SHOWDEFAULT);
    UpdateWindow(impl->hwnd);

    IMGUI_CHECKVERSION();
    ImGui::CreateContext();
    impl->imgui = true;
    ImGui::StyleColorsLight();
    ImGui_ImplWin32_Init(impl->hwnd);
    ImGui_ImplDX9_Init(graphics.device);
    ImGuiIO& io = ImGui::GetIO();
    // A missing font is not an error: ImGui then uses its built-in font. The library
    // asserts on an unreadable file, so only a readable one is handed on.
    if (fontReadable())
        io.Fonts->AddFontFromFileTTF(fontPath, fontSize, nullptr, io.Fonts->GetGlyphRangesChineseFull());

    impl->period = refreshPeriod();
    impl->lastPresent = std::chrono::steady_clock::now();
    opened.window.reset(new PanelWindow(std::move(impl)));
    return opened;
}

PanelWindow::PanelWindow(std::unique_ptr<Impl> impl) : impl(std::move(impl)) {}

PanelWindow::~PanelWindow() = default;

bool PanelWindow::pumpEvents() {
    // Every queued message is dispatched, also those after a close request.
    bool closeRequested = false;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
        if (message.message == WM_USER)
            closeRequested = true;
    }
    return closeRequested;
}

void PanelWindow::beginFrame() {
    ImGui_ImplDX9_NewFrame();
    ImGui_ImplWin32_NewFrame();
    ImGui::NewFrame();
}

void PanelWindow::endFrame() {
    IDirect3DDevice9* device = graphics.device;
    device->SetRenderState(D3DRS_ZENABLE, FALSE);
    device->SetRenderState(D3DRS_ALPHABLENDENABLE, FALSE);
    device->SetRenderState(D3DRS_SCISSORTESTENABLE, FALSE);
    device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, clearColour, 1.0f, 0);
    if (SUCCEEDED(device->BeginScene())) {
        ImGui::Render();
        ImGui_ImplDX9_RenderDrawData(ImGui::GetDrawData());
        device->EndScene();
    } else {
        // Nothing is drawn this time; the frame is ended so the next one can begin.
        ImGui::EndFrame();
    }
    const HRESULT presented = device->Present(nullptr, nullptr, nullptr, nullptr);
    if (presented == D3DERR_DEVICELOST && device->TestCooperativeLevel() == D3DERR_DEVICENOTRESET)
        resetDevice();

    // Present normally waits for vertical sync. Where it returned at once, the rest of
    // the refresh period is slept, so a shown panel never makes the control loop spin.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point now = Clock::now();
    if (now - impl->lastPresent < impl->period / 2)
        FramePacer::sleepUntil(impl->lastPresent + impl->period);
    impl->lastPresent = Clock::now();
}
