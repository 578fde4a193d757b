// Panel window backend: Win32 + Direct3D 9.
// Implemented: the tool window (topmost, caption and close box, not resizable) at (100, 100),
//              500 x 176 outside, created hidden and shown only after its first frame is
//              presented; Direct3D 9 presenting at vertical sync; a lost device reset once the
//              driver allows it (its font texture rebuilt from the font file), reported as a
//              lost display only when the driver gives the device up; the close box posted
//              back as WM_USER and seen by the message pump; ImGui's Win32 and DX9 backends.
// Also:        where Present does not wait for vertical sync (Wine on a virtual display),
//              the frame is paced to the display's refresh period so the loop cannot spin.
//              The program is DPI aware (its manifest): the window, its frame and the panel
//              are scaled to the monitor's DPI, the fonts rasterised at the scaled size,
//              while ImGui lays the panel out in 96-DPI units as at 100 %. The device is
//              made with hardware vertex processing, else mixed, else software.
#include "panel_window.h"

#include "frame_pacer.h"
#include "logger.h"
#include "panel_font.h"

#include <windows.h>

#include <d3d9.h>
#include <imgui.h>
#include <backends/imgui_impl_dx9.h>
#include <backends/imgui_impl_win32.h>
#include <malloc.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>

// Declared in the backend's header only inside "#if 0", to keep <windows.h> out of it.
extern IMGUI_IMPL_API LRESULT ImGui_ImplWin32_WndProcHandler(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);

namespace {

using Clock = std::chrono::steady_clock;

constexpr const wchar_t* windowTitle = L"Sondrel: 音频控制面板";
constexpr DWORD windowExStyle = WS_EX_TOOLWINDOW | WS_EX_TOPMOST | WS_EX_DLGMODALFRAME;
constexpr DWORD windowStyle = WS_CAPTION | WS_SYSMENU;
constexpr int windowX = 100;
constexpr int windowY = 100;
constexpr int outerWidth = 500;
constexpr int outerHeight = 176;
constexpr D3DCOLOR clearColour = D3DCOLOR_RGBA(114, 140, 153, 255);
constexpr int fallbackRefreshRate = 60;
// Posted by the window procedure for the close box; the message pump hides the panel.
constexpr UINT closeMessage = WM_USER;

std::runtime_error win32Failure(const std::string& what) {
    return std::runtime_error(what + " failed, error " + std::to_string(GetLastError()));
}

std::string hresultText(HRESULT result) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(result));
    return text;
}

std::runtime_error direct3dFailure(const std::string& what, HRESULT result) {
    return std::runtime_error(what + " failed, HRESULT " + hresultText(result));
}

// Sizes in pixels at 96 DPI, for the monitor's scale.
int scaled(int pixels, float scale) { return static_cast<int>(std::lround(static_cast<float>(pixels) * scale)); }

Clock::duration refreshPeriod() {
    DEVMODEW mode{};
    mode.dmSize = sizeof mode;
    int rate = 0;
    if (EnumDisplaySettingsW(nullptr, ENUM_CURRENT_SETTINGS, &mode))
        rate = static_cast<int>(mode.dmDisplayFrequency);
    // 0 and 1 stand for the hardware's default rate.
    if (rate <= 1)
        rate = fallbackRefreshRate;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
}

// The DX9 backend keeps its font texture in the default pool, which a device reset
// destroys, and the atlas's CPU copy is dropped once the texture holds it; so the atlas
// is built again from the font file whenever the texture has to be made again: after a
// reset (for the same characters), when the panel brings characters it lacks and when
// the display's scale changes. At a scale above 100 % the glyphs are rasterised at the
// scaled size and drawn at 1/scale in ImGui's 96-DPI layout, which the draw data's
// scaling then undoes: sharp text at the layout's metrics.
bool buildFontTexture(PanelFont& font, const ImFontGlyphRangesBuilder& characters, float scale) {
    ImFontAtlas& atlas = *ImGui::GetIO().Fonts;
    ImGui_ImplDX9_InvalidateDeviceObjects();
    ImGui::GetIO().FontGlobalScale = 1.0f / scale;
    font.build(atlas, characters, scale);
    const bool made = ImGui_ImplDX9_CreateDeviceObjects();
    atlas.ClearTexData();
    return made;
}

// What the window procedure tells the frame loop. The procedure is a plain callback;
// it finds this through the window's user data.
struct WindowMessages {
    // A client size the back buffer does not have yet (WM_SIZE), applied between frames.
    UINT pendingWidth = 0;
    UINT pendingHeight = 0;
    // The DPI of the monitor the window moved to (WM_DPICHANGED); 0 when unchanged.
    UINT pendingDpi = 0;
};

LRESULT WINAPI panelWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (ImGui_ImplWin32_WndProcHandler(hwnd, message, wParam, lParam))
        return 1;
    switch (message) {
    case WM_SIZE:
        // Not reset here: WM_SIZE also arrives inside ShowWindow while a frame's draw
        // data still refers to the device's textures.
        if (auto* messages = reinterpret_cast<WindowMessages*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
            messages && wParam != SIZE_MINIMIZED) {
            messages->pendingWidth = LOWORD(lParam);
            messages->pendingHeight = HIWORD(lParam);
        }
        return 0;
    case WM_DPICHANGED:
        // Windows suggests the rectangle that keeps the window's size at the new DPI; the
        // fonts are rebuilt between frames.
        if (auto* messages = reinterpret_cast<WindowMessages*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)))
            messages->pendingDpi = HIWORD(wParam);
        if (const auto* suggested = reinterpret_cast<const RECT*>(lParam))
            SetWindowPos(hwnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                         suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
        return 0;
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == SC_KEYMENU) // Alt does not open the window menu
            return 0;
        break;
    case WM_CLOSE:
        // Not destroyed here: the frame's message pump sees the posted message and hides
        // the panel.
        PostMessageW(hwnd, closeMessage, 0, 0);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

} // namespace

struct PanelWindow::Impl {
    WNDCLASSEXW windowClass{};
    bool registered = false;
    HWND hwnd = nullptr;
    IDirect3D9* direct3d = nullptr;
    IDirect3DDevice9* device = nullptr;
    D3DPRESENT_PARAMETERS presentParameters{};
    bool imgui = false;
    // The backend's device objects exist; false between a failed reset and the next.
    bool objectsReady = false;
    // Present said the device is lost; it is reset once the driver allows it.
    bool deviceLost = false;
    // The driver gave the device up (or it could not be reset); nothing is drawn again.
    bool deviceGone = false;
    // What failed, for the log.
    std::string goneReason;
    // The monitor's DPI over 96.
    float scale = 1.0f;
    WindowMessages messages;
    PanelFont font;
    Clock::duration period{};
    Clock::time_point lastPresent{};

    ~Impl();
    void setUpGraphics(const ImFontGlyphRangesBuilder& characters);
    void createDevice();
    void resetDevice();
    void giveUp(std::string reason);
    void recoverDevice();
    void applyDpi(UINT dpi);
    void render();
    void present();
};

PanelWindow::Impl::~Impl() {
    if (imgui) {
        ImGui_ImplDX9_Shutdown();
        ImGui_ImplWin32_Shutdown();
        ImGui::DestroyContext();
    }
    if (device)
        device->Release();
    if (direct3d)
        direct3d->Release();
    if (hwnd) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        DestroyWindow(hwnd);
    }
    if (registered)
        UnregisterClassW(windowClass.lpszClassName, windowClass.hInstance);
}

void PanelWindow::Impl::createDevice() {
    direct3d = Direct3DCreate9(D3D_SDK_VERSION);
    if (!direct3d)
        throw std::runtime_error("Direct3DCreate9 failed");
    presentParameters = D3DPRESENT_PARAMETERS{};
    // The client area's size, also kept to tell a real resize from a repeated WM_SIZE.
    RECT client{};
    GetClientRect(hwnd, &client);
    presentParameters.BackBufferWidth = static_cast<UINT>(client.right - client.left);
    presentParameters.BackBufferHeight = static_cast<UINT>(client.bottom - client.top);
    presentParameters.Windowed = TRUE;
    presentParameters.SwapEffect = D3DSWAPEFFECT_DISCARD;
    presentParameters.BackBufferFormat = D3DFMT_UNKNOWN;
    presentParameters.EnableAutoDepthStencil = TRUE;
    presentParameters.AutoDepthStencilFormat = D3DFMT_D16;
    presentParameters.PresentationInterval = D3DPRESENT_INTERVAL_ONE;
    // Adapters without hardware vertex processing (some virtual machines, remote
    // sessions) take the mixed or the software kind; the panel's few vertices need no more.
    HRESULT created = D3DERR_NOTAVAILABLE;
    for (const DWORD vertexProcessing : {D3DCREATE_HARDWARE_VERTEXPROCESSING, D3DCREATE_MIXED_VERTEXPROCESSING,
                                         D3DCREATE_SOFTWARE_VERTEXPROCESSING}) {
        device = nullptr;
        created = direct3d->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, hwnd, vertexProcessing,
                                         &presentParameters, &device);
        if (SUCCEEDED(created))
            return;
    }
    device = nullptr;
    throw direct3dFailure("IDirect3D9::CreateDevice", created);
}

void PanelWindow::Impl::resetDevice() {
    if (objectsReady) {
        ImGui_ImplDX9_InvalidateDeviceObjects();
        objectsReady = false;
    }
    const HRESULT reset = device->Reset(&presentParameters);
    if (reset == D3DERR_DEVICELOST) {
        // Lost again before the reset took; tried again at the next frame.
        deviceLost = true;
        return;
    }
    if (FAILED(reset)) {
        giveUp("Direct3D 设备重置失败(HRESULT " + hresultText(reset) + ")");
        return;
    }
    deviceLost = false;
    objectsReady = buildFontTexture(font, font.characters(), scale);
    if (!objectsReady)
        giveUp("Direct3D 设备重置后无法重建字体纹理");
}

void PanelWindow::Impl::giveUp(std::string reason) {
    deviceGone = true;
    goneReason = std::move(reason);
}

void PanelWindow::Impl::applyDpi(UINT dpi) {
    const float newScale = static_cast<float>(dpi) / USER_DEFAULT_SCREEN_DPI;
    if (newScale == scale)
        return;
    scale = newScale;
    objectsReady = buildFontTexture(font, font.characters(), scale);
    if (!objectsReady)
        giveUp("Direct3D 无法按新的显示比例重建字体纹理");
}

// Between frames: a new client size, or a lost device the driver now lets us reset.
void PanelWindow::Impl::recoverDevice() {
    if (deviceGone)
        return;
    if (const UINT dpi = messages.pendingDpi) {
        messages.pendingDpi = 0;
        applyDpi(dpi);
    }
    const UINT width = messages.pendingWidth, height = messages.pendingHeight;
    messages.pendingWidth = messages.pendingHeight = 0;
    if (width && height &&
        (width != presentParameters.BackBufferWidth || height != presentParameters.BackBufferHeight)) {
        presentParameters.BackBufferWidth = width;
        presentParameters.BackBufferHeight = height;
        resetDevice();
    }
    if (!deviceLost && objectsReady)
        return;
    switch (const HRESULT level = device->TestCooperativeLevel()) {
    case D3D_OK:
        deviceLost = false;
        if (!objectsReady)
            resetDevice();
        break;
    case D3DERR_DEVICENOTRESET:
        resetDevice();
        break;
    case D3DERR_DEVICELOST:
        break; // not yet
    default:
        // D3DERR_DRIVERINTERNALERROR: only a new device would do.
        giveUp("Direct3D 设备已丢失, 驱动程序无法恢复(HRESULT " + hresultText(level) + ")");
        break;
    }
}

// ImGui has laid the frame out in 96-DPI units; the draw data is scaled to the client
// area's pixels once per rendered frame.
void PanelWindow::Impl::render() {
    ImGui::Render();
    if (scale == 1.0f)
        return;
    ImDrawData* data = ImGui::GetDrawData();
    for (int i = 0; i < data->CmdListsCount; ++i)
        for (ImDrawVert& vertex : data->CmdLists[i]->VtxBuffer) {
            vertex.pos.x *= scale;
            vertex.pos.y *= scale;
        }
    data->ScaleClipRects(ImVec2(scale, scale));
    data->DisplayPos = ImVec2(data->DisplayPos.x * scale, data->DisplayPos.y * scale);
    data->DisplaySize = ImVec2(data->DisplaySize.x * scale, data->DisplaySize.y * scale);
}

void PanelWindow::Impl::present() {
    if (objectsReady && !deviceGone) {
        device->SetRenderState(D3DRS_ZENABLE, FALSE);
        device->SetRenderState(D3DRS_ALPHABLENDENABLE, FALSE);
        device->SetRenderState(D3DRS_SCISSORTESTENABLE, FALSE);
        device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, clearColour, 1.0f, 0);
        if (SUCCEEDED(device->BeginScene())) {
            ImGui_ImplDX9_RenderDrawData(ImGui::GetDrawData());
            device->EndScene();
        }
        if (device->Present(nullptr, nullptr, nullptr, nullptr) == D3DERR_DEVICELOST)
            deviceLost = true;
    }

    // Present normally waits for vertical sync. Where it returned at once (or nothing
    // was presented), the rest of the refresh period is slept, so a shown panel never
    // makes the control loop spin.
    const Clock::time_point now = Clock::now();
    if (now - lastPresent < period / 2)
        FramePacer::sleepUntil(lastPresent + period);
    lastPresent = Clock::now();
}

void PanelWindow::Impl::setUpGraphics(const ImFontGlyphRangesBuilder& characters) {
    createDevice();
    IMGUI_CHECKVERSION();
    ImGui::CreateContext();
    imgui = true;
    ImGui::StyleColorsLight();
    if (!ImGui_ImplWin32_Init(hwnd))
        throw std::runtime_error("ImGui_ImplWin32_Init failed");
    if (!ImGui_ImplDX9_Init(device)) {
        ImGui_ImplWin32_Shutdown();
        ImGui::DestroyContext();
        imgui = false;
        throw std::runtime_error("ImGui_ImplDX9_Init failed");
    }
    // Built here, before the window is shown, instead of in the first frame.
    objectsReady = buildFontTexture(font, characters, scale);
    if (!objectsReady)
        throw std::runtime_error("ImGui_ImplDX9_CreateDeviceObjects failed");
}

PanelWindow::Opened PanelWindow::open(const ImFontGlyphRangesBuilder& characters) {
    auto impl = std::make_unique<Impl>();
    WNDCLASSEXW& wc = impl->windowClass;
    wc.cbSize = sizeof wc;
    wc.style = CS_CLASSDC;
    wc.lpfnWndProc = panelWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = windowTitle;
    if (!RegisterClassExW(&wc))
        throw win32Failure("RegisterClassExW");
    impl->registered = true;

    // Sizes and position are those of a 96-DPI display, scaled to the monitor's DPI the
    // way Windows would stretch a program that is not DPI aware, but drawn sharp.
    const float scale =
        ImGui_ImplWin32_GetDpiScaleForMonitor(MonitorFromPoint(POINT{windowX, windowY}, MONITOR_DEFAULTTOPRIMARY));
    impl->scale = scale;
    if (scale != 1.0f)
        Logger::instance().info("Panel", "显示比例 " + std::to_string(std::lround(scale * 100.0f)) + "%");
    // Without WS_VISIBLE: the window appears in reveal(), drawn.
    impl->hwnd = CreateWindowExW(windowExStyle, wc.lpszClassName, windowTitle, windowStyle, scaled(windowX, scale),
                                 scaled(windowY, scale), scaled(outerWidth, scale), scaled(outerHeight, scale),
                                 nullptr, nullptr, wc.hInstance, nullptr);
    if (!impl->hwnd)
        throw win32Failure("CreateWindowExW");
    SetWindowLongPtrW(impl->hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&impl->messages));

    std::optional<unsigned long> topmostError;
    if (!SetWindowPos(impl->hwnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE))
        topmostError = GetLastError();
    try {
        impl->setUpGraphics(characters);
    } catch (const std::runtime_error& e) {
        // The caller reports the topmost failure also when the window cannot be opened.
        if (topmostError)
            throw OpenFailed(e.what(), *topmostError);
        throw;
    }

    impl->period = refreshPeriod();
    impl->lastPresent = Clock::now() - impl->period;
    Opened opened;
    opened.topmostError = topmostError;
    opened.window.reset(new PanelWindow(std::move(impl)));
    return opened;
}

PanelWindow::PanelWindow(std::unique_ptr<Impl> impl) : impl(std::move(impl)) {}

PanelWindow::~PanelWindow() {
    impl.reset();
    // The driver leaves MBs of freed heap behind; give it back.
    _heapmin();
}

void PanelWindow::reveal(const std::function<void()>& drawContents) {
    beginFrame();
    drawContents();
    impl->render();
    impl->present();
    if (impl->deviceGone)
        throw std::runtime_error(impl->goneReason);

    // A parent that starts us with a show command in its STARTUPINFO (hidden, say)
    // has that command applied to the process's first ShowWindow instead of ours.
    ShowWindow(impl->hwnd, SW_SHOWNORMAL);
    if (!IsWindowVisible(impl->hwnd) || IsIconic(impl->hwnd))
        ShowWindow(impl->hwnd, SW_SHOWNORMAL);
    UpdateWindow(impl->hwnd);
    // The same frame again, now that the window is on screen: where the system keeps no
    // picture of a hidden window (Wine), the one presented before showing is lost.
    impl->present();
    if (impl->deviceGone)
        throw std::runtime_error(impl->goneReason);
}

void PanelWindow::useCharacters(const ImFontGlyphRangesBuilder& characters) {
    // Without device objects nothing is drawn until a reset makes them again; the frame
    // after that asks once more.
    if (!impl->objectsReady || impl->deviceGone || !impl->font.lacks(characters))
        return;
    impl->objectsReady = buildFontTexture(impl->font, characters, impl->scale);
}

void PanelWindow::restore() {
    if (!IsIconic(impl->hwnd))
        return;
    ShowWindow(impl->hwnd, SW_RESTORE);
    SetForegroundWindow(impl->hwnd);
}

// A close request is only noted here; the caller hides the panel once every queued
// message has been handled.
PanelWindow::Event PanelWindow::pumpEvents() {
    bool closeRequested = false;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
        if (message.message == closeMessage && message.hwnd == impl->hwnd)
            closeRequested = true;
    }
    impl->recoverDevice();
    if (impl->deviceGone) {
        Logger::instance().error("Panel", impl->goneReason + ", 控制面板已关闭");
        return Event::graphicsLost;
    }
    return closeRequested ? Event::closeRequested : Event::none;
}

void PanelWindow::beginFrame() {
    // Without device objects the backend would build a font of its own; the frame is
    // then laid out but not drawn.
    if (impl->objectsReady)
        ImGui_ImplDX9_NewFrame();
    ImGui_ImplWin32_NewFrame();
    if (const float scale = impl->scale; scale != 1.0f) {
        // The backend measured the client area and the mouse in pixels; the panel is
        // laid out in 96-DPI units.
        ImGuiIO& io = ImGui::GetIO();
        io.DisplaySize = ImVec2(io.DisplaySize.x / scale, io.DisplaySize.y / scale);
        if (ImGui::IsMousePosValid(&io.MousePos))
            io.MousePos = ImVec2(io.MousePos.x / scale, io.MousePos.y / scale);
    }
    ImGui::NewFrame();
}

void PanelWindow::endFrame() {
    impl->render();
    impl->present();
}
