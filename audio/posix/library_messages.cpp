#include "library_messages.h"

#include <alsa/asoundlib.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

#include "logger.h"

namespace {

// The libraries print from whichever thread called them.
std::mutex collectionMutex;
bool collecting = false;
LibraryMessages collection;

void deliver(std::string message) {
    {
        std::lock_guard<std::mutex> guard(collectionMutex);
        if (collecting) {
            if (collection.kept.size() < maxKeptLibraryMessages)
                collection.kept.push_back(std::move(message));
            ++collection.count;
            return;
        }
    }
    Logger::instance().info("Audio", message);
}

// Library messages may end in or contain line breaks; a log entry stays one line.
std::string oneLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    return text;
}

// ALSA (and JACK, which PortAudio and ALSA's jack plugin load) print every failed probe
// of a device that does not exist straight to stderr.
void alsaMessage(const char* file, int line, const char* function, int err, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::string message = std::string("ALSA ") + (file ? file : "") + ":" + std::to_string(line) + " (" +
                          (function ? function : "") + ") " + text;
    if (err != 0)
        message += std::string(": ") + snd_strerror(err);
    deliver(oneLine(std::move(message)));
}

void jackMessage(const char* text) { deliver(oneLine(std::string("JACK ") + (text ? text : ""))); }

} // namespace

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds only. ALSA loads its plugins with dlopen while PortAudio enumerates
// devices and unloads them when PortAudio terminates; what the plugins' initialisers
// allocated is then reported as leaked at exit. Full unwinding is needed to see
// snd_dlopen beneath the unloaded code.
extern "C" const char* __lsan_default_options() { return "fast_unwind_on_malloc=0"; }
extern "C" const char* __lsan_default_suppressions() { return "leak:snd_dlopen\n"; }
#endif

void routeLibraryMessagesToLog() {
    snd_lib_error_set_handler(alsaMessage);
    using SetFunction = void (*)(void (*)(const char*));
    // Only when libjack is already in the process; it is never loaded for this.
    for (const char* name : {"jack_set_error_function", "jack_set_info_function"})
        if (void* symbol = dlsym(RTLD_DEFAULT, name))
            reinterpret_cast<SetFunction>(symbol)(jackMessage);
}

void collectLibraryMessages() {
    std::lock_guard<std::mutex> guard(collectionMutex);
    collecting = true;
    collection = {};
}

LibraryMessages takeLibraryMessages() {
    std::lock_guard<std::mutex> guard(collectionMutex);
    collecting = false;
    return std::exchange(collection, {});
}
