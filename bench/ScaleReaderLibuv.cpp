// scale_reader_libuv: a peer of bench_scale, the plain single-threaded way to read N
// sensors with libuv. It starts its own scale_peer, opens N connections to it, starts
// each sensor measuring (DX) and reads every connection on one loop with uv_read_start
// into a 4096-byte buffer of its own, cutting the lines and reading their numbers as
// bench_scale's library run does. Prints the same RESULT lines.
//   scale_reader_libuv <scale_peer path> <sensors>
#include "ScaleReading.h"

#include <uv.h>

#include <array>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

char g_start[] = "DX\r";

struct Connection {
    uv_tcp_t handle{};
    uv_connect_t connect{};
    uv_write_t write{};
    std::array<char, 4096> buffer{};
    Bench::LineCutter cutter;
    Bench::ReaderRun* run = nullptr;
    bool hadLine = false;
};

void allocate(uv_handle_t* handle, std::size_t, uv_buf_t* buffer) {
    auto* connection = static_cast<Connection*>(handle->data);
    *buffer = uv_buf_init(connection->buffer.data(), static_cast<unsigned>(connection->buffer.size()));
}

void received(uv_stream_t* stream, ssize_t count, const uv_buf_t*) {
    auto* connection = static_cast<Connection*>(stream->data);
    if (count < 0) {
        uv_read_stop(stream);
        return;
    }
    connection->cutter.feed(connection->buffer.data(), static_cast<std::size_t>(count), [&](double metres) {
        if (!connection->hadLine) {
            connection->hadLine = true;
            ++connection->run->firstLines;
        }
        connection->run->line(metres);
    });
}

void connected(uv_connect_t* request, int status) {
    auto* connection = static_cast<Connection*>(request->data);
    if (status != 0) {
        ++connection->run->failed;
        return;
    }
    uv_tcp_nodelay(&connection->handle, 1);
    ++connection->run->connected;
    uv_buf_t command = uv_buf_init(g_start, sizeof g_start - 1);
    uv_write(&connection->write, reinterpret_cast<uv_stream_t*>(&connection->handle), &command, 1,
             [](uv_write_t*, int) {});
    uv_read_start(reinterpret_cast<uv_stream_t*>(&connection->handle), allocate, received);
}

} // namespace

int main(int argc, char** argv) {
    auto start = Bench::startReader(argc, argv, "scale_reader_libuv");
    if (start.exitCode != 0)
        return start.exitCode;
    const int sensors = start.sensors;
    const uint16_t port = start.port;
    Bench::ChildProcess& peer = *start.peer;
    uv_loop_t* loop = uv_default_loop();
    Bench::ReaderRun run;
    sockaddr_in address{};
    uv_ip4_addr("127.0.0.1", port, &address);
    std::vector<std::unique_ptr<Connection>> connections;
    for (int i = 0; i < sensors; ++i) {
        auto connection = std::make_unique<Connection>();
        connection->run = &run;
        uv_tcp_init(loop, &connection->handle);
        connection->handle.data = connection.get();
        connection->connect.data = connection.get();
        if (uv_tcp_connect(&connection->connect, &connection->handle,
                           reinterpret_cast<const sockaddr*>(&address), connected) != 0)
            ++run.failed;
        connections.push_back(std::move(connection));
    }
    uv_async_t stop{};
    uv_async_init(loop, &stop, [](uv_async_t* handle) { uv_stop(handle->loop); });
    std::thread measuring([&] {
        Bench::measureReader(run, peer, sensors);
        peer.send("quit");
        uv_async_send(&stop);
    });
    uv_run(loop, UV_RUN_DEFAULT);
    measuring.join();
    std::cout.flush();
    std::_Exit(0); // the connections need no orderly end
}
