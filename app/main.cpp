#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include <uv.h>

#include "audio_engine.h"
#include "command_queue.h"
#include "command_words.h"
#include "control_panel.h"
#include "logger.h"
#include "process_platform.h"
#include "program_info.h"
#include "ring_buffer.h"
#include "sample_encoding.h"
#include "server.h"
#include "stdin_channel.h"
#include "stdout_lines.h"

namespace {

// Six seconds of mono float samples at 44100 Hz.
constexpr std::uint64_t ringCapacity = 264600;

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
        engine.reportCallbackEvents();
        if (exitRequested || stopRequested())
            break;
    }
    // Locals go in reverse order: panel (writes the hidden line), engine,
    // server, our reference to the ring, the queue.
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (const auto text = informationRequested(std::vector<std::string>(argv, argv + argc)))
        return std::fputs(text->c_str(), stdout) >= 0 && std::fflush(stdout) == 0 ? 0 : 1;
    prepareStandardStreams();
    installStopHandlers();

    const std::vector<std::string> arguments = commandLineArguments(argc, argv);
    std::string settingsPath = arguments.size() >= 2 ? arguments[1] : "";
    if (arguments.size() == 3)
        Logger::instance().openFile(arguments[2]);

    try {
        return run(settingsPath);
    } catch (...) {
        // The failing component has logged why; make sure the line reaches the
        // file before we go.
        Logger::instance().flush();
        return 1;
    }
}
