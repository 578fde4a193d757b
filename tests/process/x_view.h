#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// What the X server shows of a window, read over a connection of the test's own:
// fast enough to poll every few milliseconds, unlike the xwd and xprop programs.
// A dead server makes every call return nothing instead of ending the test.
class XView {
public:
    using WindowId = unsigned long;

    struct Colour {
        std::uint8_t r, g, b;
        bool operator==(const Colour&) const = default;
    };

    // The window's pixels, row by row.
    struct Image {
        int width = 0;
        int height = 0;
        std::vector<Colour> pixels;

        Colour at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
        int count(Colour colour) const;
        // Writes the image as a PNG (through ImageMagick); false when that fails.
        bool savePng(const std::filesystem::path& path) const;
    };

    explicit XView(const std::string& display);
    ~XView();
    XView(const XView&) = delete;
    XView& operator=(const XView&) = delete;

    // A top-level client window whose _NET_WM_NAME contains the text, mapped or not.
    std::optional<WindowId> findWindow(const std::string& title);
    bool viewable(WindowId window);
    std::optional<Image> grab(WindowId window);

private:
    struct Connection;
    std::unique_ptr<Connection> connection;
};
