#include "library_messages.h"

// The host APIs of this platform report through PortAudio's error codes only.
void routeLibraryMessagesToLog() {}
void collectLibraryMessages() {}
LibraryMessages takeLibraryMessages() { return {}; }
