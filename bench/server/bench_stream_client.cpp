// A minimal audio client for the CPU benchmark: connects to the streaming server,
// counts the audio messages for the given time and prints the totals.
//
// Usage: bench_stream_client PORT SECONDS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_no_tls_client.hpp>

using Client = websocketpp::client<websocketpp::config::asio_client>;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PORT SECONDS\n", argv[0]);
        return 2;
    }
    const std::string port = argv[1];
    const double seconds = std::atof(argv[2]);

    Client client;
    client.clear_access_channels(websocketpp::log::alevel::all);
    client.clear_error_channels(websocketpp::log::elevel::all);
    client.init_asio();

    unsigned long messages = 0;
    unsigned long bytes = 0;
    unsigned long wrongSize = 0;
    bool opened = false;
    client.set_open_handler([&](websocketpp::connection_hdl) { opened = true; });
    client.set_message_handler([&](websocketpp::connection_hdl, Client::message_ptr message) {
        ++messages;
        bytes += message->get_payload().size();
        wrongSize += message->get_payload().size() != 2048;
    });

    websocketpp::lib::error_code ec;
    Client::connection_ptr connection = client.get_connection("ws://127.0.0.1:" + port + "/", ec);
    if (ec) {
        std::fprintf(stderr, "connect: %s\n", ec.message().c_str());
        return 1;
    }
    client.connect(connection);

    // Everything runs on this thread; the timer ends the run.
    auto timer = client.set_timer(static_cast<long>(seconds * 1000), [&](websocketpp::lib::error_code const&) {
        websocketpp::lib::error_code closeEc;
        client.close(connection->get_handle(), websocketpp::close::status::going_away, "", closeEc);
        client.stop();
    });
    client.run();

    std::printf("opened=%d\nmessages=%lu\nbytes=%lu\nwrong_size=%lu\nrate=%.1f\n", opened ? 1 : 0, messages, bytes,
                wrongSize, static_cast<double>(messages) / seconds);
    return opened ? 0 : 1;
}
