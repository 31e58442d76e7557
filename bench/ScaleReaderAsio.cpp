// scale_reader_asio: a peer of bench_scale, the plain single-threaded way to read N
// sensors with Boost.Asio. It starts its own scale_peer, opens N connections to it,
// starts each sensor measuring (DX) and reads every connection on one thread with
// async_read_some into a 4096-byte buffer, cutting the lines and reading their numbers
// as bench_scale's library run does. Prints the same RESULT lines.
//   scale_reader_asio <scale_peer path> <sensors>
#include "ScaleReading.h"

#include <boost/asio.hpp>

#include <array>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(asio::io_context& io, Bench::ReaderRun& run) : m_socket_(io), m_run_(run) {}

    void start(const tcp::endpoint& peer) {
        m_socket_.async_connect(peer, [self = shared_from_this()](const boost::system::error_code& error) {
            if (error) {
                ++self->m_run_.failed;
                return;
            }
            self->m_socket_.set_option(tcp::no_delay(true));
            ++self->m_run_.connected;
            asio::async_write(self->m_socket_, asio::buffer(kStart, sizeof kStart - 1),
                              [self](const boost::system::error_code&, std::size_t) {});
            self->read();
        });
    }

private:
    static constexpr char kStart[] = "DX\r";

    void read() {
        m_socket_.async_read_some(
            asio::buffer(m_buffer_),
            [self = shared_from_this()](const boost::system::error_code& error, std::size_t count) {
                if (error)
                    return;
                self->m_cutter_.feed(self->m_buffer_.data(), count, [&](double metres) {
                    if (!self->m_hadLine_) {
                        self->m_hadLine_ = true;
                        ++self->m_run_.firstLines;
                    }
                    self->m_run_.line(metres);
                });
                self->read();
            });
    }

    tcp::socket m_socket_;
    Bench::ReaderRun& m_run_;
    std::array<char, 4096> m_buffer_{};
    Bench::LineCutter m_cutter_;
    bool m_hadLine_ = false;
};

} // namespace

int main(int argc, char** argv) {
    auto start = Bench::startReader(argc, argv, "scale_reader_asio");
    if (start.exitCode != 0)
        return start.exitCode;
    const int sensors = start.sensors;
    const uint16_t port = start.port;
    Bench::ChildProcess& peer = *start.peer;
    asio::io_context io(1);
    auto guard = asio::make_work_guard(io);
    Bench::ReaderRun run;
    const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
    for (int i = 0; i < sensors; ++i)
        std::make_shared<Connection>(io, run)->start(endpoint);
    std::thread measuring([&] {
        Bench::measureReader(run, peer, sensors);
        peer.send("quit");
        guard.reset();
        io.stop();
    });
    io.run();
    measuring.join();
    std::cout.flush();
    std::_Exit(0); // the connections need no orderly end
}
