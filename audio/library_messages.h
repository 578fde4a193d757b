#pragma once

#include <cstddef>
#include <string>
#include <vector>

// What the sound libraries below PortAudio print on their own: on Linux, ALSA's and
// JACK's reports of every device they probe and do not find, some eighty lines per
// PortAudio initialisation on a machine without a sound card. None of it belongs on
// standard error, which carries this process's own errors, and little of it in the log.
// Does nothing where those libraries stay quiet.

// Installs the hooks. Called before each PortAudio initialisation; what arrives while
// nothing is being collected goes to the log at INFO, one line per message.
void routeLibraryMessagesToLog();

// Keeps the messages instead (at most maxKeptLibraryMessages of them; the rest are only
// counted) until the collection is taken, which ends it.
constexpr std::size_t maxKeptLibraryMessages = 1000;
void collectLibraryMessages();
struct LibraryMessages {
    std::vector<std::string> kept;
    std::size_t count = 0;
};
LibraryMessages takeLibraryMessages();
