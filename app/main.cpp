#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <uv.h>

#include "audio_engine.h"
#include "command_queue.h"
#include "command_words.h"
#include "control_panel.h"
#include "exit_watch.h"
#include "logger.h"
#include "origin_policy.h"
#include "parent_commands.h"
#include "process_platform.h"
#include "program_info.h"
#include "quoted_text.h"
#include "remote_selection.h"
#include "ring_buffer.h"
#include "sample_encoding.h"
#include "server.h"
#include "stdin_channel.h"
#include "stdout_lines.h"
#include "stream_writer.h"

namespace {

// Six seconds of mono float samples at 44100 Hz.
constexpr std::uint64_t ringCapacity = 264600;

// A start-up problem that the parent must see: in the log and on standard error.
void reportOnStandardError(const std::string& message) {
    std::string line = Logger::formatLine("ERROR", "Main", message);
    line.pop_back();
    standardError().writeLine(line, Flush::Now);
}

// The parent's secret for its clients (SONDREL_CAPTURE_TOKEN), taken out of our
// environment. Empty when none was given; nothing when the one given is unusable, which
// has then been reported in the log and on standard error.
std::optional<std::string> takeClientToken() {
    std::optional<std::string> token = takeEnvironmentVariable("SONDREL_CAPTURE_TOKEN");
    if (!token)
        return std::string();
    if (const std::optional<std::string> problem = tokenProblem(*token)) {
        const std::string message = "SONDREL_CAPTURE_TOKEN 无效: " + *problem;
        Logger::instance().error("Main", message);
        reportOnStandardError(message);
        return std::nullopt;
    }
    return token;
}

int run(const std::string& settingsPath, const std::string& token, ExitWatch& exitWatch) {
    exitWatch.step("启动", PortAudioCall::inProgress);
    // "exit" starts the exit deadline as it arrives, also while the main thread is busy.
    CommandQueue queue([&exitWatch](const std::string& command) {
        if (matchCommand(command) == CommandWord::Exit)
            exitWatch.startClock();
    });
    auto ring = std::make_shared<RingBuffer>(SampleEncoding::Float32, ringCapacity);
    auto server = std::make_unique<Server>(ring, &queue, token);
    auto engine = std::make_unique<AudioEngine>(settingsPath);
    auto panel = std::make_unique<ControlPanel>(*engine);
    writePortLine(server->port());
    Logger::instance().endStartUp();
    uv_loop_t* loop = attachStandardInput(&queue);

    exitWatch.step("控制循环");
    bool exitRequested = false;
    bool watching = false;
    Answers answers([&engine] { return engine->idle(); },
                    [](const std::string& line) { writeStdoutLine(line, Flush::Now); });
    engine->streamChanged = [&watching](bool running) {
        if (watching)
            writeStdoutLine(streamLine(running), Flush::Now);
    };
    Command command{ring, *engine, *server, *panel, answers, watching, exitRequested};
    for (;;) {
        if (!exitRequested && !queue.empty()) {
            std::string text = queue.tryPop();
            // Quoted: one command is always exactly one line, whatever a peer sent.
            writeStdoutLine("Getting command: " + quoteText(text), Flush::Now);
            command.run(text);
        }
        panel->runFrame();
        uv_run(loop, UV_RUN_NOWAIT);
        engine->poll();
        answers.writeReady();
        // After "exit" no command is taken, but a choice sent before it is still made.
        if (exitWatch.requested() || (exitRequested && answers.readyToEnd()))
            break;
    }
    answers.finish();
    // Whatever ended the loop, the shutdown below is bounded.
    exitWatch.startClock();

    // Reverse order of start-up: the panel (writes the hidden line), the engine, the
    // server; then our reference to the ring and the queue. The exit watch names the
    // step that does not finish in time.
    exitWatch.step("关闭控制面板");
    panel.reset();
    exitWatch.step("关闭音频引擎", PortAudioCall::inProgress);
    engine.reset();
    exitWatch.step("关闭音频流服务器");
    server.reset();
    exitWatch.step("释放资源");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (const auto text = informationRequested(std::vector<std::string>(argv, argv + argc)))
        return std::fputs(text->c_str(), stdout) >= 0 && std::fflush(stdout) == 0 ? 0 : 1;
    prepareStandardStreams();
    installStopHandlers();
    rememberParentProcess();

    const std::vector<std::string> arguments = commandLineArguments(argc, argv);
    std::string settingsPath = arguments.size() >= 2 ? arguments[1] : "";
    if (arguments.size() == 3) {
        if (const std::optional<std::string> refusal = Logger::instance().openFile(arguments[2]))
            reportOnStandardError(*refusal);
    }

    const std::optional<std::string> token = takeClientToken();
    if (!token) {
        Logger::instance().flush();
        finishStandardStreams();
        return 1;
    }

    ExitWatch exitWatch;
    int status = 1;
    try {
        status = run(settingsPath, *token, exitWatch);
    } catch (...) {
        // The failing component has logged why; make sure the line reaches the file
        // before we go.
        Logger::instance().flush();
    }
    // Bounded: a parent that stopped reading does not keep us from ending.
    finishStandardStreams();
    return status;
}
