#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <exception>
#include <memory>
#include <string>

#include <uv.h>

#include "audio_engine.h"
#include "command_queue.h"
#include "command_words.h"
#include "control_panel.h"
#include "logger.h"
#include "ring_buffer.h"
#include "sample_encoding.h"
#include "server.h"
#include "stdin_channel.h"
#include "stdout_lines.h"

namespace {

// Six seconds of mono float samples at 44100 Hz.
constexpr std::uint64_t ringCapacity = 264600;

std::atomic<bool> stopSignalled{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void onStopSignal(int) { stopSignalled.store(true); }

// A parent may start us with 0, 1 or 2 closed. The first file we open later
// (the log, the settings, a socket) would then land on a standard descriptor
// and receive protocol lines or be read as commands.
void reserveStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

void installSignalHandlers() {
    // Writes to a parent that stopped reading fail quietly instead of killing us.
    signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    // Restart interrupted system calls: the libraries we host are not all
    // prepared for EINTR.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

struct Command {
    const std::shared_ptr<RingBuffer>& ring;
    AudioEngine& engine;
    Server& server;
    ControlPanel& panel;
    bool& exitRequested;

    void run(const std::string& command) {
        switch (matchCommand(command)) {
        case CommandWord::Show:
            panel.show();
            break;
        case CommandWord::Hide:
            panel.hide();
            break;
        case CommandWord::Exit:
            exitRequested = true;
            break;
        case CommandWord::Connected:
            engine.outputRing.set(ring);
            break;
        case CommandWord::Disconnected:
            // Stop the producer first so nothing new arrives, then drop what
            // is buffered, in step with the sender.
            engine.outputRing.reset();
            server.discardBuffered();
            break;
        case CommandWord::Unrecognised:
            writeStdoutLine("Unrecognisable command " + command, false);
            break;
        }
    }
};

int run(const std::string& settingsPath) {
    CommandQueue queue;
    auto ring = std::make_shared<RingBuffer>(SampleEncoding::Float32, ringCapacity);
    Server server(ring, &queue);
    AudioEngine engine(settingsPath);
    ControlPanel panel(engine, server);
    writePortLine(server.port());
    uv_loop_t* loop = attachStandardInput(&queue);

    bool exitRequested = false;
    Command command{ring, engine, server, panel, exitRequested};
    for (;;) {
        if (!queue.empty()) {
            std::string text = queue.tryPop();
            writeStdoutLine("Getting command: " + text, true);
            command.run(text);
        }
        panel.runFrame();
        uv_run(loop, UV_RUN_NOWAIT);
        if (exitRequested || stopSignalled.load())
            break;
    }
    // Locals go in reverse order: panel (writes the hidden line), engine,
    // server, our reference to the ring, the queue.
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    reserveStandardDescriptors();
    installSignalHandlers();

    std::string settingsPath = argc >= 2 ? argv[1] : "";
    if (argc == 3)
        Logger::instance().openFile(argv[2]);

    try {
        return run(settingsPath);
    } catch (...) {
        // The failing component has logged why; make sure the line reaches the
        // file before we go.
        Logger::instance().flush();
        return 1;
    }
}
