#pragma once

#include <X11/Xlib.h>

// Xlib ends the process when the connection to the X server breaks and when the server
// refuses a request. xlib_guard.cpp keeps both from taking the audio with them; its
// handlers and its replacements of three libX11 functions apply to the whole process,
// every X connection included, not to the panel's window alone.

// Installs the error handlers and forgets an earlier broken connection. Before SDL opens
// its connections, at every showing.
void guardXlib();
// Lets a connection that breaks carry on instead of exiting. Every connection opened
// through XOpenDisplay has it already; for one reached some other way.
void guardConnection(Display* display);
// True once a connection broke; every call on it is then to be avoided.
bool xConnectionBroken();
// Also counts the connection as broken once the X server has hung up, even while its
// last events are still buffered.
bool xServerHungUp(Display* display);
