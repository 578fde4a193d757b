#include "server.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include "command_queue.h"
#include "listen_socket.h"
#include "logger.h"
#include "ring_buffer.h"
#include "stdout_lines.h"

namespace {

const char* const logTag = "Server";
constexpr auto cyclePeriod = std::chrono::milliseconds(50);

std::string lowered(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

bool allDigits(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](unsigned char c) { return std::isdigit(c) != 0; });
}

// Only the canonical dotted quad counts; browsers serialise IPv4 hosts that way, and
// anything looser ("127.1", octal, hex) is treated as a name, i.e. not loopback.
bool isLoopbackIpv4(std::string_view host) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t dot = host.find('.', start);
        parts.push_back(host.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
        if (dot == std::string_view::npos)
            break;
        start = dot + 1;
    }
    if (parts.size() != 4)
        return false;
    for (std::string_view part : parts) {
        if (part.empty() || part.size() > 3 || !allDigits(part) || (part.size() > 1 && part[0] == '0'))
            return false;
        if (std::stoi(std::string(part)) > 255)
            return false;
    }
    return parts[0] == "127";
}

bool isLoopbackIpv6(std::string_view literal) {
    asio::error_code ec;
    asio::ip::address_v6 address = asio::ip::make_address_v6(std::string(literal), ec);
    if (ec || address.scope_id() != 0)
        return false;
    if (address.is_loopback())
        return true;
    return address.is_v4_mapped() &&
           asio::ip::make_address_v4(asio::ip::v4_mapped, address).to_bytes()[0] == 127;
}

// The authority's host is local: localhost, 127.0.0.0/8 or [::1]. The port must be
// empty or decimal; anything unparseable is not local.
bool isLocalAuthority(std::string_view authority) {
    std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    if (authority.empty())
        return false;

    std::string_view host;
    std::string_view rest;
    if (!authority.empty() && authority.front() == '[') {
        std::size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return false;
        host = authority.substr(1, close - 1);
        rest = authority.substr(close + 1);
    } else {
        std::size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
    }
    if (!rest.empty() && (rest.front() != ':' || !allDigits(rest.substr(1))))
        return false;

    if (authority.front() == '[')
        return isLoopbackIpv6(host);

    std::string name = lowered(host);
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    return name == "localhost" || isLoopbackIpv4(name);
}

bool isForeignSingleOrigin(std::string_view origin) {
    std::size_t separator = origin.find("://");
    std::size_t colon = origin.find(':');
    if (colon == std::string_view::npos)
        return false; // "null" and other opaque values carry no host
    std::string scheme = lowered(origin.substr(0, colon));
    bool web = scheme == "http" || scheme == "https" || scheme == "ws" || scheme == "wss";
    if (!web)
        return false;
    if (separator != colon)
        return true; // a web scheme without an authority cannot be shown to be local
    std::string_view authority = origin.substr(separator + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    return authority.empty() || !isLocalAuthority(authority);
}

} // namespace

bool isForeignWebOrigin(std::string_view origin) {
    // Repeated Origin headers arrive joined with ", "; each entry must pass.
    std::size_t position = 0;
    while (position < origin.size()) {
        std::size_t end = origin.find_first_of(", \t", position);
        if (end == std::string_view::npos)
            end = origin.size();
        if (end > position && isForeignSingleOrigin(origin.substr(position, end - position)))
            return true;
        position = end + 1;
    }
    return false;
}

// The WebSocket endpoint with its two threads: the network thread runs the event loop
// and the connection handlers, the sender thread runs sendLoop.
class Server::Impl {
public:
    using WsServer = websocketpp::server<websocketpp::config::asio>;

    Impl(std::shared_ptr<RingBuffer> ring, CommandQueue* commands);
    ~Impl();

    int localPort();
    void discardBuffered();

private:
    void stopEndpoint();
    void sendLoop();
    // Takes one block out of the ring and queues it for the client; false when the
    // draining ends for this cycle.
    bool sendOneBlock();
    bool onValidate(websocketpp::connection_hdl hdl);
    void onOpen(websocketpp::connection_hdl hdl);
    void onClose(websocketpp::connection_hdl hdl);
    void onMessage(websocketpp::connection_hdl hdl, WsServer::message_ptr message);

    static constexpr std::size_t blockSamples = 512;

    std::atomic<bool> stopRequested{false};
    // The library's loggers write through these; each entry reaches the real stream
    // whole, under the same lock as the protocol lines. Declared before the endpoint
    // so that they outlive it.
    LockedEntryBuf accessLogBuf{std::cout};
    std::ostream accessLog{&accessLogBuf};
    LockedEntryBuf errorLogBuf{std::cerr};
    std::ostream errorLog{&errorLogBuf};
    WsServer endpoint;
    websocketpp::connection_hdl client;
    std::mutex clientMutex;
    // Held by the sender around each block and by discardBuffered, so a discard never
    // lands between the sender's look at the ring and its read.
    std::mutex drainMutex;
    float scratch[blockSamples] = {};
    std::unique_ptr<std::thread> networkThread;
    std::unique_ptr<std::thread> senderThread;
    std::shared_ptr<RingBuffer> ring;
    CommandQueue* commands;
};

Server::Server(std::shared_ptr<RingBuffer> ring, CommandQueue* commands)
    : impl(std::make_unique<Impl>(std::move(ring), commands)) {
    port_ = impl->localPort();
    Logger::instance().info(logTag, "音频流服务器已启动，端口: " + std::to_string(port_));
}

Server::~Server() = default;

void Server::discardBuffered() { impl->discardBuffered(); }

Server::Impl::Impl(std::shared_ptr<RingBuffer> ring, CommandQueue* commands)
    : ring(std::move(ring)), commands(commands) {
    endpoint.get_alog().set_ostream(&accessLog);
    endpoint.get_elog().set_ostream(&errorLog);
    endpoint.set_tcp_pre_bind_handler([](WsServer::transport_type::acceptor_ptr acceptor) {
        return prepareListeningSocket(*acceptor);
    });
    try {
        endpoint.set_access_channels(websocketpp::log::alevel::all);
        endpoint.clear_access_channels(websocketpp::log::alevel::frame_payload);
        endpoint.init_asio();
        endpoint.set_validate_handler([this](websocketpp::connection_hdl hdl) { return onValidate(hdl); });
        endpoint.set_open_handler([this](websocketpp::connection_hdl hdl) { onOpen(hdl); });
        endpoint.set_close_handler([this](websocketpp::connection_hdl hdl) { onClose(hdl); });
        endpoint.set_message_handler([this](websocketpp::connection_hdl hdl, WsServer::message_ptr message) {
            onMessage(hdl, message);
        });
        asio::ip::tcp::endpoint address(asio::ip::make_address("127.0.0.1"), 0);
        endpoint.listen(address);
        endpoint.start_accept();
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
    // does not, the library reports it as a failed connection on both logs; a server
    // that is going away has nothing more to report there.
    endpoint.clear_error_channels(websocketpp::log::elevel::rerror | websocketpp::log::elevel::info);
    endpoint.clear_access_channels(websocketpp::log::alevel::fail);
    try {
        endpoint.stop_listening();
        endpoint.stop();
    } catch (const std::exception& e) {
        Logger::instance().error(logTag, std::string("音频流服务器无法中止, ") + e.what());
        // The network thread only returns once the event loop stops; the join waits on it.
        endpoint.stop();
    }
}

void Server::Impl::discardBuffered() {
    std::lock_guard<std::mutex> guard(drainMutex);
    ring->discard(ring->readable());
}

void Server::Impl::sendLoop() {
    while (!stopRequested) {
        auto deadline = std::chrono::steady_clock::now() + cyclePeriod;
        while (sendOneBlock()) {
        }
        std::this_thread::sleep_until(deadline);
    }
}

bool Server::Impl::sendOneBlock() {
    try {
        std::lock_guard<std::mutex> drainGuard(drainMutex);
        if (ring->readable() <= blockSamples)
            return false;
        ring->get(scratch, SampleEncoding::Float32, blockSamples);
        websocketpp::connection_hdl target;
        {
            std::lock_guard<std::mutex> clientGuard(clientMutex);
            target = client;
        }
        websocketpp::lib::error_code ec;
        endpoint.send(target, scratch, sizeof scratch, websocketpp::frame::opcode::binary, ec);
        if (ec)
            throw websocketpp::exception(ec);
        return true;
    } catch (const std::exception& e) {
        Logger::instance().warn(logTag, std::string("音频数据发送问题, ") + e.what());
        return false;
    }
}

bool Server::Impl::onValidate(websocketpp::connection_hdl hdl) {
    WsServer::connection_ptr connection = endpoint.get_con_from_hdl(hdl);
    const std::string& origin = connection->get_origin();
    if (!isForeignWebOrigin(origin))
        return true;
    // Without an explicit status the library answers 400, which reads as a client bug.
    connection->set_status(websocketpp::http::status_code::forbidden);
    Logger::instance().warn(logTag, "拒绝来自外部网页的连接: " + origin);
    return false;
}

void Server::Impl::onOpen(websocketpp::connection_hdl hdl) {
    {
        std::lock_guard<std::mutex> guard(clientMutex);
        client = hdl;
    }
    commands->push("connected");
    Logger::instance().info(logTag, "客户端已连接");
}

void Server::Impl::onClose(websocketpp::connection_hdl) {
    {
        std::lock_guard<std::mutex> guard(clientMutex);
        client.reset();
    }
    commands->push("disconnected");
    Logger::instance().info(logTag, "客户端已断开");
}

void Server::Impl::onMessage(websocketpp::connection_hdl, WsServer::message_ptr message) {
    const std::string& payload = message->get_payload();
    commands->push(payload);
    Logger::instance().info(logTag, "从客户端收到指令: " + payload);
}
