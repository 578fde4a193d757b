#include "ws_client.h"

#include <cstdint>
#include <cstring>

#include <condition_variable>
#include <mutex>
#include <thread>

#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_no_tls_client.hpp>

namespace {
using Client = websocketpp::client<websocketpp::config::asio_client>;
enum class Phase { Idle, Connecting, Open, Failed, Ended };
} // namespace

struct WsTestClient::State {
    Client endpoint;
    websocketpp::connection_hdl connection;
    std::thread network;

    mutable std::mutex mutex;
    std::condition_variable changed;
    Phase phase = Phase::Idle;
    int status = 0;
    int closeCode = 0;
    std::vector<Message> received;

    template <class Predicate>
    bool waitFor(std::chrono::milliseconds timeout, Predicate predicate) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, predicate);
    }

    void update(Phase next, websocketpp::connection_hdl hdl) {
        Client::connection_ptr con = endpoint.get_con_from_hdl(hdl);
        std::lock_guard<std::mutex> lock(mutex);
        phase = next;
        status = static_cast<int>(con->get_response_code());
        if (next == Phase::Ended)
            closeCode = con->get_remote_close_code();
        changed.notify_all();
    }
};

WsTestClient::WsTestClient() : state(std::make_unique<State>()) {
    Client& endpoint = state->endpoint;
    endpoint.clear_access_channels(websocketpp::log::alevel::all);
    endpoint.clear_error_channels(websocketpp::log::elevel::all);
    endpoint.init_asio();
    endpoint.start_perpetual();
    State* s = state.get();
    endpoint.set_open_handler([s](websocketpp::connection_hdl hdl) { s->update(Phase::Open, hdl); });
    endpoint.set_fail_handler([s](websocketpp::connection_hdl hdl) { s->update(Phase::Failed, hdl); });
    endpoint.set_close_handler([s](websocketpp::connection_hdl hdl) { s->update(Phase::Ended, hdl); });
    endpoint.set_message_handler([s](websocketpp::connection_hdl, Client::message_ptr message) {
        std::lock_guard<std::mutex> lock(s->mutex);
        s->received.push_back({message->get_opcode() == websocketpp::frame::opcode::binary, message->get_payload(),
                               std::chrono::steady_clock::now()});
        s->changed.notify_all();
    });
    state->network = std::thread([s] { s->endpoint.run(); });
}

WsTestClient::~WsTestClient() {
    // Abandons whatever is in flight; the tests never wait on the server here.
    state->endpoint.stop_perpetual();
    state->endpoint.stop();
    if (state->network.joinable())
        state->network.join();
}

bool WsTestClient::connect(int port, std::chrono::milliseconds timeout, const std::string& origin,
                           const std::string& host, const std::string& resource) {
    websocketpp::lib::error_code ec;
    Client::connection_ptr con =
        state->endpoint.get_connection("ws://" + host + ":" + std::to_string(port) + resource, ec);
    if (ec)
        return false;
    if (!origin.empty())
        con->replace_header("Origin", origin);
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->phase = Phase::Connecting;
        state->connection = con->get_handle();
    }
    state->endpoint.connect(con);
    state->waitFor(timeout, [this] { return state->phase != Phase::Connecting; });
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->phase == Phase::Open;
}

int WsTestClient::handshakeStatus() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->status;
}

bool WsTestClient::sendText(const std::string& text) {
    websocketpp::lib::error_code ec;
    state->endpoint.send(state->connection, text, websocketpp::frame::opcode::text, ec);
    return !ec;
}

bool WsTestClient::sendBinary(const std::string& bytes) {
    websocketpp::lib::error_code ec;
    state->endpoint.send(state->connection, bytes, websocketpp::frame::opcode::binary, ec);
    return !ec;
}

bool WsTestClient::close(std::chrono::milliseconds timeout) {
    // On the client's own thread: the library's close writes connection state that its
    // read handler reads without a lock.
    State* s = state.get();
    asio::post(s->endpoint.get_io_service(), [s] {
        websocketpp::lib::error_code ignored;
        s->endpoint.close(s->connection, websocketpp::close::status::normal, "", ignored);
    });
    return waitForEnd(timeout);
}

bool WsTestClient::waitForEnd(std::chrono::milliseconds timeout) {
    return state->waitFor(timeout,
                          [this] { return state->phase == Phase::Ended || state->phase == Phase::Failed; });
}

bool WsTestClient::isOpen() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->phase == Phase::Open;
}

int WsTestClient::remoteCloseCode() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->closeCode;
}

bool WsTestClient::waitForMessages(std::size_t count, std::chrono::milliseconds timeout) {
    return state->waitFor(timeout, [this, count] { return state->received.size() >= count; });
}

std::size_t WsTestClient::messageCount() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->received.size();
}

std::vector<WsTestClient::Message> WsTestClient::messages() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->received;
}

std::vector<float> decodeSamples(const std::string& payload) {
    std::vector<float> samples(payload.size() / 4);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        std::uint32_t bits = 0;
        for (int b = 3; b >= 0; --b)
            bits = (bits << 8) | static_cast<unsigned char>(payload[i * 4 + b]);
        std::memcpy(&samples[i], &bits, 4);
    }
    return samples;
}

std::vector<float> decodeSamples(const std::vector<WsTestClient::Message>& messages) {
    std::vector<float> samples;
    for (const WsTestClient::Message& message : messages) {
        std::vector<float> block = decodeSamples(message.payload);
        samples.insert(samples.end(), block.begin(), block.end());
    }
    return samples;
}
