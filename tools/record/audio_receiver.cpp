#include "audio_receiver.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_no_tls_client.hpp>

#include "audio_message.h"

struct AudioReceiver::Impl {
    using Client = websocketpp::client<websocketpp::config::asio_client>;
    enum class State { Idle, Connecting, Open, Ended };

    Impl();
    std::string connect(int port, std::chrono::milliseconds timeout, const std::string& token);
    Next next(Block& out, std::chrono::milliseconds timeout);
    void close(std::chrono::milliseconds timeout);
    void onOpen(websocketpp::connection_hdl hdl);
    void onFail(websocketpp::connection_hdl hdl);
    void onClose(websocketpp::connection_hdl hdl);
    void onMessage(websocketpp::connection_hdl hdl, Client::message_ptr message);
    void stopThread();

    Client client;
    std::thread network;

    std::mutex mutex;
    std::condition_variable changed;
    State state = State::Idle;
    websocketpp::connection_hdl connection;
    std::string reason;
    std::deque<Block> blocks;
    std::uint64_t unexpected = 0;
};

AudioReceiver::AudioReceiver() : impl(std::make_unique<Impl>()) {}

AudioReceiver::~AudioReceiver() {
    impl->close(std::chrono::milliseconds(1000));
    impl->stopThread();
}

std::string AudioReceiver::connect(int port, std::chrono::milliseconds timeout, const std::string& token) {
    return impl->connect(port, timeout, token);
}

AudioReceiver::Next AudioReceiver::next(Block& out, std::chrono::milliseconds timeout) {
    return impl->next(out, timeout);
}

void AudioReceiver::close(std::chrono::milliseconds timeout) { impl->close(timeout); }

std::uint64_t AudioReceiver::unexpectedMessages() {
    std::lock_guard lock(impl->mutex);
    return impl->unexpected;
}

std::string AudioReceiver::closeReason() {
    std::lock_guard lock(impl->mutex);
    return impl->reason;
}

AudioReceiver::Impl::Impl() {
    client.clear_access_channels(websocketpp::log::alevel::all);
    client.clear_error_channels(websocketpp::log::elevel::all);
    client.init_asio();
    client.set_open_handler([this](websocketpp::connection_hdl h) { onOpen(h); });
    client.set_fail_handler([this](websocketpp::connection_hdl h) { onFail(h); });
    client.set_close_handler([this](websocketpp::connection_hdl h) { onClose(h); });
    client.set_message_handler([this](websocketpp::connection_hdl h, Client::message_ptr m) { onMessage(h, m); });
}

std::string AudioReceiver::Impl::connect(int port, std::chrono::milliseconds timeout, const std::string& token) {
    {
        std::lock_guard lock(mutex);
        if (state != State::Idle)
            return "already connected";
        state = State::Connecting;
    }
    websocketpp::lib::error_code ec;
    // The address as messages show it; the token is for the server alone.
    const std::string uri = "ws://127.0.0.1:" + std::to_string(port) + "/";
    Client::connection_ptr con = client.get_connection(token.empty() ? uri : uri + "?token=" + token, ec);
    if (ec) {
        std::lock_guard lock(mutex);
        state = State::Ended;
        reason = ec.message();
        return "cannot connect to " + uri + ": " + reason;
    }
    {
        std::lock_guard lock(mutex);
        connection = con->get_handle();
    }
    client.connect(con);
    network = std::thread([this] { client.run(); });

    std::unique_lock lock(mutex);
    if (!changed.wait_for(lock, timeout, [this] { return state != State::Connecting; })) {
        lock.unlock();
        stopThread();
        lock.lock();
        state = State::Ended;
        reason = "no handshake within " + std::to_string(timeout.count()) + " ms";
        return "cannot connect to " + uri + ": " + reason;
    }
    if (state != State::Open)
        return "cannot connect to " + uri + ": " + reason;
    return {};
}

AudioReceiver::Next AudioReceiver::Impl::next(Block& out, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, timeout, [this] { return !blocks.empty() || state == State::Ended; });
    if (!blocks.empty()) {
        out = std::move(blocks.front());
        blocks.pop_front();
        return Next::Block;
    }
    return state == State::Ended ? Next::Closed : Next::Timeout;
}

void AudioReceiver::Impl::close(std::chrono::milliseconds timeout) {
    websocketpp::connection_hdl hdl;
    {
        std::lock_guard lock(mutex);
        if (state != State::Open)
            return;
        hdl = connection;
    }
    // Library calls belong on its own thread.
    asio::post(client.get_io_service(), [this, hdl] {
        websocketpp::lib::error_code ec;
        client.close(hdl, websocketpp::close::status::normal, "", ec);
    });
    std::unique_lock lock(mutex);
    changed.wait_for(lock, timeout, [this] { return state == State::Ended; });
}

void AudioReceiver::Impl::stopThread() {
    if (!network.joinable())
        return;
    client.stop();
    network.join();
    std::lock_guard lock(mutex);
    if (state != State::Ended) {
        state = State::Ended;
        if (reason.empty())
            reason = "stopped";
    }
    changed.notify_all();
}

void AudioReceiver::Impl::onOpen(websocketpp::connection_hdl) {
    std::lock_guard lock(mutex);
    state = State::Open;
    changed.notify_all();
}

void AudioReceiver::Impl::onFail(websocketpp::connection_hdl hdl) {
    std::string why;
    if (auto con = client.get_con_from_hdl(hdl)) {
        why = con->get_ec().message();
        if (con->get_response_code() != websocketpp::http::status_code::uninitialized)
            why += " (HTTP " + std::to_string(static_cast<int>(con->get_response_code())) + ")";
    }
    std::lock_guard lock(mutex);
    state = State::Ended;
    reason = why.empty() ? "connection failed" : why;
    changed.notify_all();
}

void AudioReceiver::Impl::onClose(websocketpp::connection_hdl hdl) {
    std::string why;
    if (auto con = client.get_con_from_hdl(hdl)) {
        const auto code = con->get_remote_close_code();
        if (code == websocketpp::close::status::abnormal_close || code == websocketpp::close::status::no_status)
            why = "connection lost without a close frame";
        else
            why = "closed by the server (" + websocketpp::close::status::get_string(code) + ")";
        if (con->get_ec())
            why += ": " + con->get_ec().message();
    }
    std::lock_guard lock(mutex);
    state = State::Ended;
    if (reason.empty())
        reason = why;
    changed.notify_all();
}

void AudioReceiver::Impl::onMessage(websocketpp::connection_hdl, Client::message_ptr message) {
    Block block;
    block.arrival = Clock::now();
    const bool audio = message->get_opcode() == websocketpp::frame::opcode::binary &&
                       decodeAudioMessage(message->get_payload(), block.samples);
    std::lock_guard lock(mutex);
    if (!audio) {
        ++unexpected;
        return;
    }
    blocks.push_back(std::move(block));
    changed.notify_all();
}
