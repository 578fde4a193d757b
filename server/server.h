#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

class RingBuffer;
class CommandQueue;

// The local WebSocket endpoint: one client receives the audio as 512-sample float
// messages; every client's messages become commands. Listens on 127.0.0.1, port
// chosen by the system. Runs a network thread and a sender thread.
class Server {
public:
    using Endpoint = websocketpp::server<websocketpp::config::asio>;

    // Throws (after logging) when the endpoint cannot listen.
    Server(std::shared_ptr<RingBuffer> ring, CommandQueue* commands);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int port() const { return port_; }

    // Drops everything buffered in the ring, serialised with the sender so that no
    // block it sends afterwards mixes in samples from before the call.
    void discardBuffered();

private:
    void sendLoop();
    void onOpen(websocketpp::connection_hdl hdl);
    void onClose(websocketpp::connection_hdl hdl);
    void onMessage(websocketpp::connection_hdl hdl, Endpoint::message_ptr message);
    bool onValidate(websocketpp::connection_hdl hdl);

    int port_ = 0;
    std::atomic<bool> stopRequested{false};
    Endpoint endpoint;
    websocketpp::connection_hdl client;
    std::mutex clientMutex;
    std::mutex drainMutex;
    std::unique_ptr<std::thread> networkThread;
    std::unique_ptr<std::thread> senderThread;
    std::shared_ptr<RingBuffer> ring;
    CommandQueue* commands;
};
