#pragma once

#include <memory>
#include <string>

#include <uv.h>

class CommandQueue;

// The text without leading and trailing white space (space, tab, line feed,
// vertical tab, form feed, carriage return). White space inside stays.
std::string trimCommand(const std::string& text);

// libuv read callbacks of the standard-input readers; the stream's data field
// points at the CommandQueue that receives the commands.
void onStdinAlloc(uv_handle_t* handle, size_t suggestedSize, uv_buf_t* buf);
void onStdinRead(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buf);

// Reads one descriptor on a libuv loop; every read result becomes one logged,
// trimmed command. Only the reader that fits the descriptor is attached: a
// console, a pipe or socket, or a file (a regular file or a device such as
// /dev/null, read with the loop's file-system requests; also a pipe that
// cannot be opened as a stream). End of input stops reading and queues nothing.
//
// The handles belong to the loop once attached: call close() and let the loop
// run until it has no more work before destroying the channel.
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
    // Stops reading; the loop finishes the close on its next run. A pending
    // file read still completes, but starts no further read.
    void close();

private:
    static void onFileRead(uv_fs_t* request);
    void readFile();
    uv_stream_t* stream() const;

    Kind kind_ = Kind::None;
    bool ended_ = false;
    bool closing_ = false;
    uv_loop_t* loop_;
    uv_file fd_;
    CommandQueue* queue_;
    uv_tty_t tty_{};
    uv_pipe_t pipe_{};
    uv_fs_t fileRequest_{};
    std::unique_ptr<char[]> fileBuffer_;
};

// Attaches standard input to libuv's default loop for the life of the process
// and returns the loop for the control loop's non-blocking poll.
uv_loop_t* attachStandardInput(CommandQueue* queue);
