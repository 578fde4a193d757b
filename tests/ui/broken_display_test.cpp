#include "panel_window.h"
#include "x_session.h"

#include <gtest/gtest.h>
#include <imgui.h>

#include <cstdlib>

// Last: Xlib's macros (None, Bool, Status) would rename parts of the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

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

} // namespace
