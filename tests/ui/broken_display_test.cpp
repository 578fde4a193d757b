#include "panel_window.h"
#include "x_session.h"

#include <gtest/gtest.h>
#include <imgui.h>

#include <cstdint>
#include <cstdlib>

// Last: Xlib's macros (None, Bool, Status) would rename parts of the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include "sdl_gl3/xlib_guard.h"

namespace {

// Xlib answers nothing on a broken connection, and SDL reads some answers in its
// event handling without looking: an atom's name, the modifier map on a focus change.
// Whichever connection noticed the break first, those lookups must then give an empty
// answer, or the frame that meets the break crashes the whole process.
TEST(BrokenDisplay, LookupsSdlReadsUncheckedAnswerEmpty) {
    XSession x(XSession::WindowManager::none);
    ASSERT_EQ(::setenv("DISPLAY", x.display().c_str(), 1), 0);
    PanelWindow::Opened opened = PanelWindow::open(ImFontGlyphRangesBuilder());
    ASSERT_TRUE(opened.window);
    Display* display = XOpenDisplay(x.display().c_str());
    ASSERT_NE(display, nullptr);

    x.killServer();
    XSync(display, False); // meets the hang-up; the process carries on
    EXPECT_EQ(opened.window->pumpEvents(), PanelWindow::Event::displayLost);

    XModifierKeymap* map = XGetModifierMapping(display);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(map->max_keypermod, 0);
    XFreeModifiermap(map);
    char* name = XGetAtomName(display, XA_PRIMARY);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "");
    XFree(name);

    opened.window.reset();
    XCloseDisplay(display);
}

// libX11's own modifier map lookup takes the reply's sizes from its stack whether a
// reply came or not. Words of 1 there read as a reply of four bytes, which it then
// tries to read from a connection that has none, and aborts the process.
[[gnu::noinline]] void leaveReplyLikeWordsOnTheStack() {
    volatile std::uint32_t words[4096];
    for (auto& word : words)
        word = 1;
}

// The break can also come in the middle of that lookup: the request is sent, and the
// server is gone before its reply.
TEST(BrokenDisplay, ModifierMapAskedAsTheServerGoesIsEmpty) {
    XSession x(XSession::WindowManager::none);
    guardXlib();
    Display* display = XOpenDisplay(x.display().c_str());
    ASSERT_NE(display, nullptr);
    XModifierKeymap* map = XGetModifierMapping(display);
    ASSERT_NE(map, nullptr);
    ASSERT_GT(map->max_keypermod, 0) << "the live server's map is read";
    // Shift is the first modifier; every X server maps some key to it.
    EXPECT_NE(map->modifiermap[0], 0);
    XFreeModifiermap(map);
    x.killServer();

    leaveReplyLikeWordsOnTheStack();
    map = XGetModifierMapping(display);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(map->max_keypermod, 0);
    XFreeModifiermap(map);
    EXPECT_TRUE(xConnectionBroken());
    XCloseDisplay(display);
}

} // namespace
