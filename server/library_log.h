#pragma once

#include <optional>
#include <ostream>
#include <streambuf>
#include <string>

#include <websocketpp/concurrency/basic.hpp>
#include <websocketpp/logger/basic.hpp>
#include <websocketpp/logger/levels.hpp>

#include "stream_writer.h"

// A stream buffer for a library logger: collects what the logger writes and hands
// each entry, confined to lines that begin with "[" (confineLibraryEntry), to a
// StreamWriter when the logger flushes. One logger at a time (the library serialises
// its own entries).
class LibraryLogBuf : public std::streambuf {
public:
    explicit LibraryLogBuf(StreamWriter& target) : target(target) {}

    // From now on the values of "token=" parameters in entries are replaced by "***":
    // the access log quotes each request's path. Before the logger's first entry.
    void hideTokens() { tokensHidden = true; }

protected:
    int_type overflow(int_type ch) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

private:
    StreamWriter& target;
    std::string pending;
    bool tokensHidden = false;
};

// The WebSocket library's two logs, on standard output (access) and standard error
// (errors), and the failed-handshake lines we write ourselves in the access log's format.
// Only server.cpp and its neighbours include this: the library's headers are C++17.
class LibraryLogs {
public:
    // tokensInPaths: the access log quotes the path of each request, and with it a token.
    explicit LibraryLogs(bool tokensInPaths);

    // Points the endpoint's loggers here. A failed handshake would cost a line on
    // standard output and two on standard error, each: its own line is ours
    // (writeFailure), written once per burst. An open connection that ends in an error
    // says why in its close line.
    template <typename Endpoint>
    void attach(Endpoint& endpoint) {
        endpoint.get_alog().set_ostream(&access);
        endpoint.get_elog().set_ostream(&errors);
        endpoint.set_access_channels(websocketpp::log::alevel::all);
        endpoint.clear_access_channels(websocketpp::log::alevel::frame_payload);
        endpoint.clear_access_channels(websocketpp::log::alevel::fail);
        endpoint.clear_error_channels(websocketpp::log::elevel::rerror | websocketpp::log::elevel::info);
    }

    // Nothing more about failures: the listener is being closed.
    template <typename Endpoint>
    void quieten(Endpoint& endpoint) {
        failureLog.clear_channels(websocketpp::log::alevel::all);
        endpoint.clear_error_channels(websocketpp::log::elevel::rerror | websocketpp::log::elevel::info);
        endpoint.clear_access_channels(websocketpp::log::alevel::fail);
    }

    // A failed-handshake line, if there is one.
    void writeFailure(const std::optional<std::string>& line);

private:
    // The library's loggers write through these, never waiting on a parent that does
    // not read.
    LibraryLogBuf accessBuf{standardOutput()};
    std::ostream access{&accessBuf};
    LibraryLogBuf errorBuf{standardError()};
    std::ostream errors{&errorBuf};
    websocketpp::log::basic<websocketpp::concurrency::basic, websocketpp::log::alevel> failureLog{
        websocketpp::log::alevel::fail, &access};
};
