#include "stdin_channel.h"

#include <cstdlib>

#include "command_queue.h"
#include "logger.h"

namespace {

constexpr const char* whiteSpace = " \t\n\v\f\r";
constexpr std::size_t fileReadSize = 65536;

// One read result is one command: logged as received, queued trimmed.
void deliver(CommandQueue* queue, const char* bytes, std::size_t length) {
    std::string text(bytes, length);
    Logger::instance().info("Main", "收到指令: " + text);
    if (queue)
        queue->push(trimCommand(text));
}

}  // namespace

// Plain searches rather than a regular expression: libstdc++'s matcher recurses
// once per character and backtracks quadratically on long runs of white space,
// and a single pipe read can hand us 64 KiB of them.
std::string trimCommand(const std::string& text) {
    std::size_t last = text.find_last_not_of(whiteSpace);
    if (last == std::string::npos)
        return {};
    std::size_t first = text.find_first_not_of(whiteSpace);
    return text.substr(first, last - first + 1);
}

void onStdinAlloc(uv_handle_t*, size_t suggestedSize, uv_buf_t* buf) {
    char* block = static_cast<char*>(std::malloc(suggestedSize));
    // A null block with length 0 makes libuv report UV_ENOBUFS to the read callback.
    *buf = uv_buf_init(block, block ? static_cast<unsigned>(suggestedSize) : 0);
}

void onStdinRead(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buf) {
    if (nread == UV_EOF) {
        if (!uv_is_closing(reinterpret_cast<uv_handle_t*>(stream)))
            uv_close(reinterpret_cast<uv_handle_t*>(stream), nullptr);
    } else if (nread > 0) {
        deliver(static_cast<CommandQueue*>(stream->data), buf->base, static_cast<std::size_t>(nread));
    }
    std::free(buf->base);
}

StdinChannel::StdinChannel(uv_loop_t* loop, uv_file fd, CommandQueue* queue)
    : loop_(loop), fd_(fd), queue_(queue) {
    switch (uv_guess_handle(fd)) {
    case UV_TTY:
        if (uv_tty_init(loop, &tty_, fd, 0) != 0)
            return;
        uv_tty_set_mode(&tty_, UV_TTY_MODE_NORMAL);
        tty_.data = queue;
        kind_ = Kind::Console;
        uv_read_start(stream(), onStdinAlloc, onStdinRead);
        break;
    case UV_NAMED_PIPE:
    case UV_TCP:
        if (uv_pipe_init(loop, &pipe_, 0) != 0)
            return;
        pipe_.data = queue;
        kind_ = Kind::Pipe;
        if (uv_pipe_open(&pipe_, fd) == 0) {
            uv_read_start(stream(), onStdinAlloc, onStdinRead);
            break;
        }
        // Some pipes cannot be driven as a stream: on Windows libuv needs a named-pipe
        // handle it can query and switch to non-blocking mode, and the anonymous pipes
        // of some parents (Wine hands over a Unix pipe) refuse that. Blocking reads on
        // the thread pool work with any of them.
        uv_close(reinterpret_cast<uv_handle_t*>(&pipe_), nullptr);
        [[fallthrough]];
    case UV_FILE:
        // Stream handles refuse regular files and /dev/null; a chain of file
        // reads on the loop's thread pool does the same job.
        kind_ = Kind::File;
        fileBuffer_ = std::make_unique<char[]>(fileReadSize);
        fileRequest_.data = this;
        readFile();
        break;
    default:
        // Closed or of a kind we cannot read: no commands from here.
        break;
    }
}

StdinChannel::~StdinChannel() = default;

uv_stream_t* StdinChannel::stream() const {
    if (kind_ == Kind::Console)
        return reinterpret_cast<uv_stream_t*>(const_cast<uv_tty_t*>(&tty_));
    if (kind_ == Kind::Pipe)
        return reinterpret_cast<uv_stream_t*>(const_cast<uv_pipe_t*>(&pipe_));
    return nullptr;
}

bool StdinChannel::ended() const {
    if (kind_ == Kind::File)
        return ended_;
    if (uv_stream_t* s = stream())
        return !closing_ && uv_is_closing(reinterpret_cast<uv_handle_t*>(s));
    return false;
}

void StdinChannel::close() {
    closing_ = true;
    uv_stream_t* s = stream();
    if (s && !uv_is_closing(reinterpret_cast<uv_handle_t*>(s)))
        uv_close(reinterpret_cast<uv_handle_t*>(s), nullptr);
}

void StdinChannel::readFile() {
    uv_buf_t buf = uv_buf_init(fileBuffer_.get(), fileReadSize);
    // Offset -1: read on from the descriptor's current position, like a stream.
    if (uv_fs_read(loop_, &fileRequest_, fd_, &buf, 1, -1, onFileRead) != 0)
        ended_ = true;
}

void StdinChannel::onFileRead(uv_fs_t* request) {
    auto* channel = static_cast<StdinChannel*>(request->data);
    ssize_t result = request->result;
    uv_fs_req_cleanup(request);
    if (result > 0) {
        deliver(channel->queue_, channel->fileBuffer_.get(), static_cast<std::size_t>(result));
        if (!channel->closing_) {
            channel->readFile();
            return;
        }
    }
    // End of the file, a read error, or closed by us: nothing more to read.
    channel->ended_ = true;
}

uv_loop_t* attachStandardInput(CommandQueue* queue) {
    uv_loop_t* loop = uv_default_loop();
    // Lives, like standard input itself, until the process ends.
    static StdinChannel* channel = nullptr;
    if (!channel)
        channel = new StdinChannel(loop, 0, queue);
    return loop;
}
