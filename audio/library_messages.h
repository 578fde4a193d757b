#pragma once

// Sends what the sound libraries below PortAudio print on their own (ALSA's and JACK's
// probing chatter on Linux) to the log instead of standard error, which belongs to
// this process's own errors. Called before each PortAudio initialisation. Does
// nothing where those libraries stay quiet.
void routeLibraryMessagesToLog();
