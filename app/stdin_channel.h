#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <uv.h>

class CommandQueue;

// The text without leading and trailing white space (space, tab, line feed,
// vertical tab, form feed, carriage return). White space inside stays.
std::string trimCommand(const std::string& text);

// Reads one descriptor on a libuv loop and queues commands: every line of a read is one
// command, and so is what follows the last line feed of a read (a parent that writes
// "exit" without a line feed is understood) unless the read filled its whole buffer:
// then the parent's text goes on in the pipe, and the unterminated line is joined with
// the next read (up to 64 KiB). Each command is logged as received and
// queued trimmed. Only the reader that fits the descriptor is attached: a console, a
// pipe or socket, or a file (a regular file or a device such as /dev/null, read with the
// loop's file-system requests; also a pipe that cannot be opened as a stream).
//
// A parent that writes faster than the control loop takes commands is held back: while
// the queue is full, nothing more is read, so the pipe fills and the parent's writes
// wait; reading resumes once the queue has drained. End of input from a pipe or file
// stops reading and queues nothing; on a console it is only the end of one line of
// input (Ctrl-D), and reading goes on.
//
// The handles belong to the loop once attached: call close() and let the loop run until
// it has no more work before destroying the channel.
class StdinChannel {
public:
    enum class Kind { None, Console, Pipe, File };

    StdinChannel(uv_loop_t* loop, uv_file fd, CommandQueue* queue);
    ~StdinChannel();
    StdinChannel(const StdinChannel&) = delete;
    StdinChannel& operator=(const StdinChannel&) = delete;

    Kind kind() const { return kind_; }
    // True once end of input (or a file read error) ended reading.
    bool ended() const;
    // False while reading is held back because the queue is full.
    bool reading() const { return !heldBack_; }
    // Stops reading; the loop finishes the close on its next run. A pending file read
    // still completes, but starts no further read.
    void close();

    // libuv's callbacks for the console and pipe readers; the stream's data field points
    // at the channel.
    static void onAlloc(uv_handle_t* handle, size_t suggestedSize, uv_buf_t* buf);
    static void onRead(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buf);

private:
    // Full: the read filled its buffer, so the parent's text probably goes on.
    enum class Read { Drained, Full };

    static void onFileRead(uv_fs_t* request);
    static void onPump(uv_prepare_t* handle);
    void receive(std::string_view bytes, Read read);
    void endOfInput();
    // Queues the held lines while the queue takes them; true when all were queued.
    bool feed();
    // Once per loop run: queue what is held, resume reading once there is room.
    void pump();
    void resume();
    void startPump();
    void readFile();
    uv_stream_t* stream() const;

    Kind kind_ = Kind::None;
    bool ended_ = false;
    bool closing_ = false;
    bool heldBack_ = false;     // reading stopped until the queue drains
    bool consoleEnded_ = false; // Ctrl-D: read the console again on the next run
    bool inputEnded_ = false;   // end of a pipe or file: what is held is all there is
    uv_loop_t* loop_;
    uv_file fd_;
    CommandQueue* queue_;
    uv_tty_t tty_{};
    uv_pipe_t pipe_{};
    uv_fs_t fileRequest_{};
    uv_prepare_t pump_{};
    bool pumpAttached_ = false;
    std::unique_ptr<char[]> fileBuffer_;
    // The lines of the last read not queued yet.
    std::string held_;
    std::size_t heldAt_ = 0;
    // The unterminated end of a read that filled its buffer, joined to the next read.
    std::string carry_;
};

// Attaches standard input to libuv's default loop for the life of the process
// and returns the loop for the control loop's non-blocking poll.
uv_loop_t* attachStandardInput(CommandQueue* queue);
