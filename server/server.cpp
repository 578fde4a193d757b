#include "server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include "client_stream.h"
#include "command_queue.h"
#include "access_policy.h"
#include "library_log.h"
#include "listen_socket.h"
#include "logger.h"
#include "origin_policy.h"
#include "peer_owner.h"
#include "quoted_text.h"
#include "repeated_warning.h"
#include "ring_buffer.h"
#include "stream_options.h"

namespace {

const char* const logTag = "Server";
constexpr auto cyclePeriod = std::chrono::milliseconds(50);
// Larger client messages are closed with 1009; command words are at most 12 bytes.
constexpr std::size_t maxMessageBytes = 64 * 1024;
// The kernel's share of that (Linux doubles it): well above a 50 ms burst of audio.
constexpr int socketSendBuffer = 64 * 1024;
// How long a handshake may take: a peer that opens connections and sends nothing (or a
// byte at a time) holds a few of its class's slots for a second, never the port.
constexpr long handshakeTimeoutMs = 1000;
// What the endpoint calls itself in its HTTP answers: no library name, no version.
const char* const serverName = "sondrel-capture";
// Waits before accepting again after a failed accept (descriptors exhausted).
constexpr auto firstAcceptDelay = std::chrono::milliseconds(50);
constexpr auto lastAcceptDelay = std::chrono::milliseconds(1000);

} // namespace

// The WebSocket endpoint with its two threads: the network thread runs the event loop,
// the connection handlers and every call on a connection; the sender thread takes the
// audio out of the ring and hands each block to the network thread.
class Server::Impl {
public:
    using WsServer = websocketpp::server<websocketpp::config::asio>;

    Impl(std::shared_ptr<RingBuffer> ring, CommandQueue* commands, std::string token);
    ~Impl();

    int localPort();
    void discardBuffered();
    void sendToNewestClient();

private:
    void stopEndpoint();
    void sendLoop();
    // Takes a block (or what the client's converter takes) out of the ring and passes on
    // the messages that completes for the client; false when the draining ends for this
    // cycle.
    bool sendSome();
    // Network thread: queues the message on the connection, unless the client has left
    // more than `unreadBound` bytes unread (a second of its audio).
    void deliver(const WsServer::connection_ptr& connection, const std::string& message, std::size_t unreadBound);
    void startAccept();
    void acceptLater();
    void onAccepted(const WsServer::connection_ptr& connection, const websocketpp::lib::error_code& ec);
    // Whether the connection may go on to its handshake, from the owner of the peer's
    // socket and the slots of its class; the refusal reported when it may not.
    bool admit(const WsServer::connection_ptr& connection);
    void onFail(websocketpp::connection_hdl hdl);
    // Writes the counts of refusals and failures once their period has passed.
    void summariseLater();
    void holdBackClient(websocketpp::connection_hdl hdl);
    void resumeClientsWhenDrained();
    bool onValidate(websocketpp::connection_hdl hdl);
    void onOpen(websocketpp::connection_hdl hdl);
    void onClose(websocketpp::connection_hdl hdl);
    void onMessage(websocketpp::connection_hdl hdl, WsServer::message_ptr message);

    static constexpr std::size_t blockSamples = 512;

    std::atomic<bool> stopRequested{false};
    // Empty: no token; the peer must be our own user.
    const std::string token;
    // Declared before the endpoint so that they outlive it.
    LibraryLogs libraryLogs{!token.empty()};
    RepeatedWarnings sendProblems{logTag, "音频数据发送问题, "};
    RepeatedWarning slowClientWarning{logTag, "客户端读取过慢, 已丢弃音频数据"};
    RepeatedWarning clippingWarning{logTag, "16位音频样本超出满刻度, 已削波"};
    RepeatedWarnings acceptProblems{logTag, "无法接受新连接, 稍后重试: "};
    // A handshake counts until it has opened or failed, a connection until the library
    // has let go of it entirely.
    Admission admission{!token.empty(), [](const void* connection) {
                            return static_cast<const WsServer::connection_type*>(connection)->get_state() ==
                                   websocketpp::session::state::connecting;
                        }};
    WsServer endpoint;
    // Network thread only.
    std::unique_ptr<asio::steady_timer> acceptRetry;
    std::chrono::milliseconds acceptDelay = firstAcceptDelay;
    PeerOwnerLookup peerOwners;
    std::unique_ptr<asio::steady_timer> summaryTimer;
    bool summaryDue = false;
    // Set once the listener is being closed: nothing that fails from then on is a peer's
    // doing, and the hidden line stays the last line of standard output.
    bool stopping = false;
    std::unique_ptr<asio::steady_timer> resumeCheck;
    std::vector<WsServer::connection_ptr> heldBackClients;
    // The connection that opened last, with the stream it asked for: set and cleared by
    // the network thread.
    websocketpp::connection_hdl newest;
    std::shared_ptr<ClientStream> newestStream;
    // The one the sender feeds: the newest once the control loop has handled its
    // "connected" (sendToNewestClient); cleared by the network thread when it closes.
    // Its stream's converter is the sender's alone.
    websocketpp::connection_hdl client;
    std::shared_ptr<ClientStream> clientStream;
    std::mutex clientMutex;
    // Held by the sender around each block and by discardBuffered, so a discard never
    // lands between the sender's look at the ring and its read.
    std::mutex drainMutex;
    // Where a block goes that no client is there to take.
    float scratch[blockSamples] = {};
    std::unique_ptr<std::thread> networkThread;
    std::unique_ptr<std::thread> senderThread;
    std::shared_ptr<RingBuffer> ring;
    CommandQueue* commands;
};

Server::Server(std::shared_ptr<RingBuffer> ring, CommandQueue* commands, std::string token)
    : impl(std::make_unique<Impl>(std::move(ring), commands, std::move(token))) {
    port_ = impl->localPort();
    Logger::instance().info(logTag, "音频流服务器已启动，端口: " + std::to_string(port_));
}

Server::~Server() = default;

void Server::discardBuffered() { impl->discardBuffered(); }

void Server::sendToNewestClient() { impl->sendToNewestClient(); }

Server::Impl::Impl(std::shared_ptr<RingBuffer> ring, CommandQueue* commands, std::string token)
    : token(std::move(token)), ring(std::move(ring)), commands(commands) {
    libraryLogs.attach(endpoint);
    endpoint.set_tcp_pre_bind_handler(
        [](WsServer::transport_type::acceptor_ptr acceptor) { return prepareListeningSocket(*acceptor); });
    // Command words are a few bytes; anything much bigger is closed with 1009 before its
    // payload is read.
    endpoint.set_max_message_size(maxMessageBytes);
    endpoint.set_open_handshake_timeout(handshakeTimeoutMs);
    endpoint.set_user_agent(serverName);
    try {
        endpoint.init_asio();
        acceptRetry = std::make_unique<asio::steady_timer>(endpoint.get_io_service());
        resumeCheck = std::make_unique<asio::steady_timer>(endpoint.get_io_service());
        summaryTimer = std::make_unique<asio::steady_timer>(endpoint.get_io_service());
        endpoint.set_validate_handler([this](websocketpp::connection_hdl hdl) { return onValidate(hdl); });
        endpoint.set_fail_handler([this](websocketpp::connection_hdl hdl) { onFail(hdl); });
        endpoint.set_open_handler([this](websocketpp::connection_hdl hdl) { onOpen(hdl); });
        endpoint.set_close_handler([this](websocketpp::connection_hdl hdl) { onClose(hdl); });
        endpoint.set_message_handler(
            [this](websocketpp::connection_hdl hdl, WsServer::message_ptr message) { onMessage(hdl, message); });
        asio::ip::tcp::endpoint address(asio::ip::make_address("127.0.0.1"), 0);
        endpoint.listen(address);
        // Our own accept loop rather than the library's start_accept, which retries at
        // once after any failure and so spins while descriptors are exhausted.
        if (!endpoint.is_listening())
            throw std::runtime_error("not listening");
        startAccept();
    } catch (const std::exception& e) {
        Logger::instance().error(logTag, std::string("音频流服务器启动失败, ") + e.what());
        throw std::runtime_error(e.what());
    }

    senderThread = std::make_unique<std::thread>([this] { sendLoop(); });
    try {
        networkThread = std::make_unique<std::thread>([this] { endpoint.run(); });
    } catch (...) {
        stopRequested = true;
        senderThread->join();
        throw;
    }
}

// 0 when the listener's address cannot be read.
int Server::Impl::localPort() {
    websocketpp::lib::asio::error_code ec;
    asio::ip::tcp::endpoint local = endpoint.get_local_endpoint(ec);
    return ec ? 0 : local.port();
}

Server::Impl::~Impl() {
    // The listener's state belongs to the network thread (its accept handler reads it),
    // so the endpoint is stopped there.
    asio::post(endpoint.get_io_service(), [this] { stopEndpoint(); });
    stopRequested = true;
    if (senderThread && senderThread->joinable())
        senderThread->join();
    if (networkThread && networkThread->joinable())
        networkThread->join();
}

void Server::Impl::stopEndpoint() {
    // Closing the listener completes the pending accept with an error. Unless the code
    // matches the library's idea of a cancellation, which Windows' "operation aborted"
    // does not, the library reports it as a failed connection on both logs and calls our
    // fail handler, which writes our own failure line. On Windows the completion can
    // still run after the event loop was told to stop. A server that is going away has
    // nothing more to report there.
    stopping = true;
    libraryLogs.quieten(endpoint);
    acceptRetry->cancel();
    resumeCheck->cancel();
    summaryTimer->cancel();
    try {
        endpoint.stop_listening();
        endpoint.stop();
    } catch (const std::exception& e) {
        Logger::instance().error(logTag, std::string("音频流服务器无法中止, ") + e.what());
        // The network thread only returns once the event loop stops; the join waits on it.
        endpoint.stop();
    }
}

void Server::Impl::startAccept() {
    websocketpp::lib::error_code ec;
    WsServer::connection_ptr connection = endpoint.get_connection();
    if (!connection) {
        acceptLater();
        return;
    }
    endpoint.async_accept(
        connection,
        [this, connection](const websocketpp::lib::error_code& result) { onAccepted(connection, result); }, ec);
    // Only fails once the listener is closed, that is while stopping.
    if (ec)
        connection->terminate(websocketpp::lib::error_code());
}

// Out of descriptors (or another failure of the listener): the pending connection stays
// in the backlog and would fail again at once, so wait before the next try, longer each
// time, until connections have closed.
void Server::Impl::acceptLater() {
    acceptRetry->expires_after(acceptDelay);
    acceptDelay = std::min(acceptDelay * 2, lastAcceptDelay);
    acceptRetry->async_wait([this](const asio::error_code& waited) {
        if (!waited)
            startAccept();
    });
}

void Server::Impl::onAccepted(const WsServer::connection_ptr& connection, const websocketpp::lib::error_code& ec) {
    if (ec) {
        connection->terminate(ec);
        if (stopping || ec == websocketpp::error::operation_canceled || !endpoint.is_listening())
            return;
        acceptProblems.report(ec.message());
        acceptLater();
        return;
    }
    acceptDelay = firstAcceptDelay;
    // Before a byte of the request is read and before the connection counts against
    // any limit: a refused connection costs us one lookup and holds nothing.
    if (!admit(connection)) {
        // Refused at once: the peer sees its connection closed.
        asio::error_code ignored;
        connection->get_raw_socket().close(ignored);
    } else {
        // What a client leaves unread piles up in the kernel as well as in the library's
        // queue; a small send buffer keeps that part under a second of audio too.
        asio::error_code ignored;
        connection->get_raw_socket().set_option(asio::socket_base::send_buffer_size(socketSendBuffer), ignored);
        connection->start();
    }
    startAccept();
}

bool Server::Impl::admit(const WsServer::connection_ptr& connection) {
    asio::error_code localError;
    asio::error_code remoteError;
    const asio::ip::tcp::endpoint ours = connection->get_raw_socket().local_endpoint(localError);
    const asio::ip::tcp::endpoint peer = connection->get_raw_socket().remote_endpoint(remoteError);
    PeerIdentity identity;
    if (localError || remoteError)
        identity.detail = "连接已断开";
    else
        identity = peerOwners.identify(ours, peer);
    const auto address = [&] {
        return remoteError ? std::string("?") : peer.address().to_string() + ":" + std::to_string(peer.port());
    };
    if (admission.admit(identity, address, connection))
        return true;
    summariseLater();
    return false;
}

void Server::Impl::onFail(websocketpp::connection_hdl hdl) {
    if (stopping)
        return;
    websocketpp::lib::error_code ec;
    WsServer::connection_ptr connection = endpoint.get_con_from_hdl(hdl, ec);
    if (ec)
        return;
    std::ostringstream line;
    // The library's failure line without the user agent and the path, which are the
    // peer's text (and the path may hold a token).
    line << "WebSocket Connection " << connection->get_remote_endpoint() << " " << connection->get_response_code()
         << " " << connection->get_ec() << " " << connection->get_ec().message();
    libraryLogs.writeFailure(admission.log.failedHandshake(line.str(), std::chrono::steady_clock::now()));
    summariseLater();
}

void Server::Impl::summariseLater() {
    summaryDue = true;
    if (summaryTimer->expiry() > std::chrono::steady_clock::now())
        return; // armed; it looks again when it fires
    summaryDue = false;
    summaryTimer->expires_after(AdmissionLog::summaryPeriod);
    summaryTimer->async_wait([this](const asio::error_code& waited) {
        if (waited)
            return;
        libraryLogs.writeFailure(admission.log.summarise(std::chrono::steady_clock::now()));
        // Anything since the timer was set is written a period from now at the latest.
        if (summaryDue)
            summariseLater();
    });
}

void Server::Impl::discardBuffered() {
    std::lock_guard<std::mutex> guard(drainMutex);
    ring->discard(ring->readable());
}

void Server::Impl::sendToNewestClient() {
    std::lock_guard<std::mutex> guard(clientMutex);
    client = newest;
    clientStream = newestStream;
}

void Server::Impl::sendLoop() {
    while (!stopRequested) {
        auto deadline = std::chrono::steady_clock::now() + cyclePeriod;
        while (sendSome()) {
        }
        // A client that asked for low latency is served as soon as the capture callback
        // has put what completes its next message; the cycle still bounds the wait, so
        // a stop is seen as soon as before.
        std::shared_ptr<ClientStream> stream;
        {
            std::lock_guard<std::mutex> guard(clientMutex);
            stream = clientStream;
        }
        if (stream && stream->options().latency == Latency::Low)
            ring->waitForSamples(stream->takesAbove(), deadline);
        else
            std::this_thread::sleep_until(deadline);
    }
}

bool Server::Impl::sendSome() {
    websocketpp::lib::error_code ec;
    try {
        std::lock_guard<std::mutex> drainGuard(drainMutex);
        websocketpp::connection_hdl target;
        std::shared_ptr<ClientStream> stream;
        {
            std::lock_guard<std::mutex> clientGuard(clientMutex);
            target = client;
            stream = clientStream;
        }
        WsServer::connection_ptr connection = endpoint.get_con_from_hdl(target, ec);
        if (!ec && stream) {
            const std::size_t count = stream->wanted(ring->readable());
            if (count == 0)
                return false;
            ring->get(stream->input(), SampleEncoding::Float32, count);
            stream->take(count);
            // The connection's write queue belongs to the network thread: reading how
            // much of it the client has left unread is only exact there.
            const std::size_t unreadBound = stream->secondOfAudioBytes();
            std::string message;
            while (stream->nextMessage(message))
                asio::post(endpoint.get_io_service(),
                           [this, connection, unreadBound, message = std::move(message)] {
                               deliver(connection, message, unreadBound);
                           });
            if (const std::uint64_t clipped = stream->takeClipped())
                clippingWarning.report(clipped);
            return true;
        }
        if (ring->readable() <= blockSamples)
            return false;
        // No client stored, or its connection is gone: the block is lost, and the
        // library's "Bad Connection" reported once the ring is free again.
        ring->get(scratch, SampleEncoding::Float32, blockSamples);
        if (!ec)
            ec = websocketpp::error::make_error_code(websocketpp::error::bad_connection);
    } catch (const std::exception& e) {
        sendProblems.report(e.what());
        return false;
    }
    sendProblems.report(ec.message());
    return false;
}

void Server::Impl::deliver(const WsServer::connection_ptr& connection, const std::string& message,
                           std::size_t unreadBound) {
    // A client that stops reading would otherwise make us keep every block for it. Above
    // the bound the block is dropped, so one that reads again gets current audio.
    if (connection->get_buffered_amount() > unreadBound) {
        slowClientWarning.report();
        return;
    }
    websocketpp::lib::error_code ec = connection->send(message, websocketpp::frame::opcode::binary);
    if (ec)
        sendProblems.report(ec.message());
}

bool Server::Impl::onValidate(websocketpp::connection_hdl hdl) {
    WsServer::connection_ptr connection = endpoint.get_con_from_hdl(hdl);
    const websocketpp::http::parser::request& http = connection->get_request();
    HandshakeRequest request{
        http.get_method(),        http.get_uri(), http.get_version(), {}, http.get_header("Sec-WebSocket-Version"),
        connection->get_origin(), token};
    for (const auto& [name, value] : http.get_headers())
        request.headers.emplace_back(name, value);
    const std::optional<HandshakeRefusal> refusal = judgeHandshake(request);
    if (!refusal)
        return true;
    // Without an explicit status the library answers 400, which reads as a client bug.
    connection->set_status(static_cast<websocketpp::http::status_code::value>(refusal->status));
    if (!refusal->header.first.empty())
        connection->append_header(refusal->header.first, refusal->header.second);
    connection->set_body(refusal->body);
    admission.log.refusedHandshake(*refusal);
    summariseLater();
    return false;
}

void Server::Impl::onOpen(websocketpp::connection_hdl hdl) {
    // The options were checked before the handshake was let through.
    WsServer::connection_ptr connection = endpoint.get_con_from_hdl(hdl);
    std::shared_ptr<ClientStream> stream;
    try {
        stream = std::make_shared<ClientStream>(parseStreamOptions(connection->get_request().get_uri()).options);
    } catch (const std::exception& e) {
        // Out of memory for a converter: the client is told, and nothing else changes.
        Logger::instance().error(logTag, std::string("无法为客户端准备音频流, ") + e.what());
        websocketpp::lib::error_code ignored;
        connection->close(websocketpp::close::status::internal_endpoint_error, "", ignored);
        return;
    }
    // The audio goes to it only once "connected" is handled: until then the ring may
    // still hold audio of the connection it displaced, which the control loop's
    // "disconnected" is yet to drop.
    {
        std::lock_guard<std::mutex> guard(clientMutex);
        newest = hdl;
        newestStream = std::move(stream);
    }
    commands->push("connected");
    Logger::instance().info(logTag, "客户端已连接");
}

void Server::Impl::onClose(websocketpp::connection_hdl hdl) {
    // Only the newest connection's own close stops the audio: an older connection that
    // a newer one displaced (a client reconnecting) may finish closing at any time.
    const auto same = [&hdl](const websocketpp::connection_hdl& other) {
        return !other.owner_before(hdl) && !hdl.owner_before(other);
    };
    bool wasNewest = false;
    {
        std::lock_guard<std::mutex> guard(clientMutex);
        wasNewest = same(newest);
        if (wasNewest) {
            newest.reset();
            newestStream.reset();
        }
        if (same(client)) {
            client.reset();
            clientStream.reset();
        }
    }
    if (wasNewest)
        commands->push("disconnected");
    Logger::instance().info(logTag, "客户端已断开");
}

void Server::Impl::onMessage(websocketpp::connection_hdl hdl, WsServer::message_ptr message) {
    const std::string& payload = message->get_payload();
    commands->push(payload);
    Logger::instance().info(logTag, "从客户端收到指令: " + quoteText(payload));
    if (commands->full())
        holdBackClient(hdl);
}

// A client that sends commands faster than the control loop takes them is not read
// until the queue has drained, so its socket pushes back instead of our memory growing.
// Called from the message handler, that is inside the connection's read handler: the
// flag is cleared right here, so the read handler issues no further read and none is
// outstanding when reading is resumed.
void Server::Impl::holdBackClient(websocketpp::connection_hdl hdl) {
    websocketpp::lib::error_code ec;
    WsServer::connection_ptr connection = endpoint.get_con_from_hdl(hdl, ec);
    if (ec)
        return;
    if (std::find(heldBackClients.begin(), heldBackClients.end(), connection) != heldBackClients.end())
        return;
    connection->handle_pause_reading();
    // With no read outstanding nothing else keeps the connection alive.
    heldBackClients.push_back(connection);
    if (heldBackClients.size() == 1)
        resumeClientsWhenDrained();
}

void Server::Impl::resumeClientsWhenDrained() {
    resumeCheck->expires_after(cyclePeriod);
    resumeCheck->async_wait([this](const asio::error_code& waited) {
        if (waited)
            return;
        if (!commands->drained()) {
            resumeClientsWhenDrained();
            return;
        }
        for (const WsServer::connection_ptr& connection : heldBackClients) {
            // One that failed meanwhile (a write error ends it) is left to go.
            websocketpp::session::state::value state = connection->get_state();
            if (state == websocketpp::session::state::open || state == websocketpp::session::state::closing)
                connection->resume_reading();
        }
        heldBackClients.clear();
    });
}
