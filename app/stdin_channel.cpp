#include "stdin_channel.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "command_queue.h"
#include "logger.h"
#include "quoted_text.h"

namespace {

constexpr const char* whiteSpace = " \t\n\v\f\r";
constexpr std::size_t fileReadSize = 65536;
constexpr std::size_t minimumReadSize = 65536;
// The longest unterminated line that waits for the next read to be joined.
constexpr std::size_t maxCarried = 65536;

uv_handle_t* asHandle(void* handle) { return static_cast<uv_handle_t*>(handle); }

} // namespace

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

// libuv on Windows suggests exactly what the pipe holds, which would make every read
// look full and keep a last line without a line feed waiting for more; a read is only
// taken as full when it fills a buffer of at least this size.
void StdinChannel::onAlloc(uv_handle_t*, size_t suggestedSize, uv_buf_t* buf) {
    const std::size_t size = std::max(suggestedSize, minimumReadSize);
    char* block = static_cast<char*>(std::malloc(size));
    // A null block with length 0 makes libuv report UV_ENOBUFS to the read callback.
    *buf = uv_buf_init(block, block ? static_cast<unsigned>(size) : 0);
}

void StdinChannel::onRead(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buf) {
    auto* channel = static_cast<StdinChannel*>(stream->data);
    if (nread == UV_EOF) {
        // Ctrl-D on a console ends one line of input, not the console: the user may
        // type on. libuv has stopped reading; the next run starts it again.
        if (channel->kind_ == Kind::Console) {
            channel->consoleEnded_ = true;
            channel->startPump();
        } else {
            channel->endOfInput();
            if (!uv_is_closing(asHandle(stream)))
                uv_close(asHandle(stream), nullptr);
        }
    } else if (nread > 0) {
        const std::size_t length = static_cast<std::size_t>(nread);
        channel->receive(std::string_view(buf->base, length), length == buf->len ? Read::Full : Read::Drained);
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
        tty_.data = this;
        kind_ = Kind::Console;
        uv_read_start(stream(), onAlloc, onRead);
        break;
    case UV_NAMED_PIPE:
    case UV_TCP:
        if (uv_pipe_init(loop, &pipe_, 0) != 0)
            return;
        pipe_.data = this;
        kind_ = Kind::Pipe;
        if (uv_pipe_open(&pipe_, fd) == 0) {
            uv_read_start(stream(), onAlloc, onRead);
            break;
        }
        // Some pipes cannot be driven as a stream: on Windows libuv needs a named-pipe
        // handle it can query and switch to non-blocking mode, and the anonymous pipes
        // of some parents (Wine hands over a Unix pipe) refuse that. Blocking reads on
        // the thread pool work with any of them.
        uv_close(asHandle(&pipe_), nullptr);
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
        return;
    }
    // Started only while there is something to resume; then it runs once per loop run.
    if (uv_prepare_init(loop, &pump_) == 0) {
        pump_.data = this;
        pumpAttached_ = true;
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
        return !closing_ && uv_is_closing(asHandle(s));
    return false;
}

void StdinChannel::close() {
    closing_ = true;
    uv_stream_t* s = stream();
    if (s && !uv_is_closing(asHandle(s)))
        uv_close(asHandle(s), nullptr);
    if (pumpAttached_ && !uv_is_closing(asHandle(&pump_)))
        uv_close(asHandle(&pump_), nullptr);
}

void StdinChannel::receive(std::string_view bytes, Read read) {
    // Nothing is read while something is held, so all that is held now is this read
    // and the end of the one before, if it was carried over.
    held_ = std::move(carry_);
    carry_.clear();
    held_.append(bytes);
    heldAt_ = 0;
    if (read == Read::Full) {
        // The parent's text probably goes on in the pipe: an unterminated last line
        // waits for the rest, unless it is as long as a read already.
        const std::size_t lineFeed = held_.rfind('\n');
        const std::size_t tail = lineFeed == std::string::npos ? 0 : lineFeed + 1;
        if (held_.size() - tail < maxCarried) {
            carry_ = held_.substr(tail);
            held_.resize(tail);
        }
    }
    if (feed() && !queue_->full())
        return;
    heldBack_ = true;
    if (uv_stream_t* s = stream())
        uv_read_stop(s);
    startPump();
}

void StdinChannel::endOfInput() {
    inputEnded_ = true;
    // The parent's last words, written without a line feed.
    if (!carry_.empty())
        receive({}, Read::Drained);
}

void StdinChannel::startPump() {
    if (pumpAttached_ && !closing_)
        uv_prepare_start(&pump_, onPump);
}

bool StdinChannel::feed() {
    while (heldAt_ < held_.size()) {
        if (queue_->full())
            return false;
        const std::size_t lineFeed = held_.find('\n', heldAt_);
        const std::size_t next = lineFeed == std::string::npos ? held_.size() : lineFeed + 1;
        const std::string received = held_.substr(heldAt_, next - heldAt_);
        heldAt_ = next;
        Logger::instance().info("Main", "收到指令: " + quoteText(received));
        queue_->push(trimCommand(received));
    }
    held_.clear();
    heldAt_ = 0;
    return true;
}

void StdinChannel::onPump(uv_prepare_t* handle) { static_cast<StdinChannel*>(handle->data)->pump(); }

void StdinChannel::pump() {
    if (closing_)
        return;
    if (consoleEnded_) {
        consoleEnded_ = false;
        if (!heldBack_)
            uv_read_start(stream(), onAlloc, onRead);
    }
    if (heldBack_ && feed() && queue_->drained())
        resume();
    if (!heldBack_ && !consoleEnded_)
        uv_prepare_stop(&pump_);
}

void StdinChannel::resume() {
    heldBack_ = false;
    if (inputEnded_)
        return;
    if (kind_ == Kind::File)
        readFile();
    else if (uv_stream_t* s = stream())
        uv_read_start(s, onAlloc, onRead);
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
        const std::size_t length = static_cast<std::size_t>(result);
        channel->receive(std::string_view(channel->fileBuffer_.get(), length),
                         length == fileReadSize ? Read::Full : Read::Drained);
        if (!channel->closing_ && !channel->heldBack_)
            channel->readFile();
        // Held back: pump() reads on once the queue has room.
        if (!channel->closing_)
            return;
    } else {
        channel->endOfInput();
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
