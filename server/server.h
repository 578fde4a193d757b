#pragma once

#include <memory>
#include <string>

class RingBuffer;
class CommandQueue;

// The local WebSocket endpoint: one client receives the audio as 512-sample float
// messages; every accepted client's messages become commands. Listens on 127.0.0.1, port
// chosen by the system. Runs a network thread and a sender thread.
//
// The endpoint lives behind a pointer: the WebSocket library's headers do not compile
// as C++20, so they stay inside server.cpp, which is built as C++17.
class Server {
public:
    // Throws (after logging) when the endpoint cannot listen. Without a token only
    // connections of our own user are accepted; with one, only handshakes whose path
    // carries it as the query parameter "token".
    Server(std::shared_ptr<RingBuffer> ring, CommandQueue* commands, std::string token = {});
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int port() const { return port_; }

    // Drops everything buffered in the ring, serialised with the sender so that no
    // block it sends afterwards mixes in samples from before the call.
    void discardBuffered();

    // The connection that opened last becomes the one that receives the audio. Called
    // when "connected" is handled, after the ring was emptied of audio from before it:
    // until then a new connection receives nothing, so its stream starts with audio
    // captured from here on and has no jump where that discard lands.
    void sendToNewestClient();

private:
    class Impl;

    int port_ = 0;
    std::unique_ptr<Impl> impl;
};
