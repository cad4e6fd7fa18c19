#include "quillcore/transport/connection_intake.h"

#include "quillcore/transport/frame_test_support.h"

namespace quill {
namespace {

using namespace quill::testing;

// A plain client socket to 127.0.0.1:`port`.
int connectTo(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) throw std::runtime_error("connect");
    return fd;
}

Bytes joined(Bytes a, const Bytes& b) {
    append(a, b);
    return a;
}

void write(int fd, const Bytes& bytes) {
    if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("write");
}

// The intake reads first frames itself, straight from the sockets: however the bytes fall, the
// frame comes whole, what follows it stays for the connection's own reader, and what is no
// frame within the limits is refused.
TEST(ConnectionIntake, ReadsTheFirstFrameHoweverItArrivesAndLeavesTheRestToTheReader) {
    ConnectionIntake::Limits limits;
    limits.maxFirstFrame = 2000;
    auto intake = ConnectionIntake::make(limits, {});
    auto listener = net::TcpListener::create();
    std::promise<std::uint16_t> port;
    listener->setStateHandler([&](const net::TcpListener::StateUpdate& u) {
        if (u.state == net::TcpListener::State::ready) port.set_value(*u.port);
    });
    listener->setConnectionHandler([intake](net::TcpConnectionPtr c) { intake->add(std::move(c)); });
    listener->start();
    const std::uint16_t at = port.get_future().get();

    const Bytes body = pattern(1500, 7), next = toBytes("next");
    const struct {
        const char* name;
        std::function<void(int)> send;
        std::optional<Bytes> first;  // none: refused
    } cases[] = {
        {"whole, the next frame in the same write", [&](int fd) { write(fd, joined(wire(body), wire(next))); }, body},
        {"the header split, the body in pauses",
         [&](int fd) {
             const Bytes all = wire(body);
             std::size_t from = 0;
             for (const std::size_t to : {std::size_t{2}, std::size_t{4}, std::size_t{600}, all.size()}) {
                 write(fd, Bytes(all.begin() + static_cast<std::ptrdiff_t>(from), all.begin() + static_cast<std::ptrdiff_t>(to)));
                 from = to;
                 std::this_thread::sleep_for(20ms);
             }
         },
         body},
        {"empty", [&](int fd) { write(fd, wire({})); }, Bytes{}},
        {"over the limit, judged from its header", [&](int fd) { write(fd, header(2001)); }, std::nullopt},
        {"ended halfway", [&](int fd) { 
             write(fd, joined(header(10), toBytes("abc")));
             ::shutdown(fd, SHUT_WR);
         },
         std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int fd = connectTo(at);
        c.send(fd);
        std::vector<ConnectionIntake::FirstFrame> taken;
        const bool came = eventually([&] {
            for (auto& f : intake->take()) taken.push_back(std::move(f));
            return !taken.empty() || (!c.first && intake->size() == 0);
        });
        if (c.first) {
            ASSERT_TRUE(came);
            ASSERT_EQ(taken.size(), 1u);
            EXPECT_EQ(taken[0].frame, *c.first);
            EXPECT_EQ(taken[0].host, "127.0.0.1");
            auto channel = FrameChannel::make(taken[0].connection, taken[0].frame);
            EXPECT_EQ(channel->nextFrame(5.0), *c.first);
            if (c.name == cases[0].name) {
                EXPECT_EQ(channel->nextFrame(5.0), next);
            }
            channel->send(toBytes("reply"));
            EXPECT_EQ(::recv(fd, Bytes(9).data(), 9, MSG_WAITALL), 9) << "the connection goes on";
        } else {
            EXPECT_TRUE(came && taken.empty());
            char byte;
            EXPECT_LE(::recv(fd, &byte, 1, 0), 0) << "closed";
        }
        ::close(fd);
    }
    listener->cancel();
}

}  // namespace
}  // namespace quill
