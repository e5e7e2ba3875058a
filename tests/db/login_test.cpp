// The login refuses every method that would hand the password to the server (or to anyone on the
// path who answers in its place). A fake server that asks for such a method gets nothing.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "db/connection.h"
#include "db/database_error.h"
#include "support/loopback.h"

namespace tessel::db {
namespace {

constexpr const char* kPassword = "s3cret-Pa55word";

std::string Packet(std::uint8_t sequence, const std::string& payload) {
    std::string packet;
    packet += static_cast<char>(payload.size() & 0xff);
    packet += static_cast<char>((payload.size() >> 8) & 0xff);
    packet += static_cast<char>((payload.size() >> 16) & 0xff);
    packet += static_cast<char>(sequence);
    return packet + payload;
}

// A protocol-10 greeting offering the usual hashed method.
std::string Greeting() {
    using namespace std::string_literals;
    const std::uint32_t capabilities = 0x1 | 0x8 | 0x200 | 0x2000 | 0x8000 | 0x20000 | 0x80000;
    std::string p = "\x0a"s + "5.5.5-10.11.0-MariaDB" + '\0';
    p += "\x01\x00\x00\x00"s;  // connection id
    p += "abcdefgh"s + '\0';   // first part of the scramble, filler
    p += static_cast<char>(capabilities & 0xff);
    p += static_cast<char>((capabilities >> 8) & 0xff);
    p += "\x08\x02\x00"s;  // latin1, autocommit status
    p += static_cast<char>((capabilities >> 16) & 0xff);
    p += static_cast<char>((capabilities >> 24) & 0xff);
    p += static_cast<char>(21);
    p += std::string(10, '\0');
    p += "ijklmnopqrst"s + '\0';
    p += "mysql_native_password"s + '\0';
    return p;
}

class FakeServer {
public:
    explicit FakeServer(std::string switchPayload)
        : listener_(test::BindLoopback(0, 1)), switch_(std::move(switchPayload)) {}
    ~FakeServer() {
        if (thread_.joinable()) thread_.join();
        ::close(listener_);
    }
    int Port() const { return test::BoundPort(listener_); }
    void Start() { thread_ = std::thread([this] { Serve(); }); }
    void Join() { thread_.join(); }
    // Everything the client sent, its login request, and what it sent after being asked to switch.
    std::string Received, Login, AfterSwitch;

private:
    // ReadPacket - one packet's bytes, empty when the client closed.
    std::string ReadPacket(int fd) {
        std::string header = ReadExactly(fd, 4);
        if (header.size() < 4) return header;
        std::size_t length = static_cast<unsigned char>(header[0]) |
                             static_cast<unsigned char>(header[1]) << 8 |
                             static_cast<unsigned char>(header[2]) << 16;
        return header + ReadExactly(fd, length);
    }
    std::string ReadExactly(int fd, std::size_t n) {
        std::string bytes;
        char buffer[4096];
        while (bytes.size() < n) {
            ssize_t got = ::recv(fd, buffer, std::min(sizeof buffer, n - bytes.size()), 0);
            if (got <= 0) break;
            bytes.append(buffer, static_cast<std::size_t>(got));
        }
        Received += bytes;
        return bytes;
    }
    void Serve() {
        int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) return;
        // Only a bound on a broken client, never reached when the test holds.
        timeval limit{30, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::string greeting = Packet(0, Greeting());
        ::send(fd, greeting.data(), greeting.size(), MSG_NOSIGNAL);
        Login = ReadPacket(fd);  // with the hashed answer
        std::string request = Packet(2, switch_);
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        AfterSwitch = ReadPacket(fd);
        std::string refusal = Packet(4, std::string("\xff\x15\x04#28000Access denied", 21));
        ::send(fd, refusal.data(), refusal.size(), MSG_NOSIGNAL);
        ::close(fd);
    }

    int listener_;
    std::string switch_;
    std::thread thread_;
};

TEST(DatabaseLogin, MethodsThatWouldHandOverThePasswordAreRefused) {
    using namespace std::string_literals;
    struct Case {
        const char* method;
        std::string data;  // what the server sends with its request
    } cases[] = {
        {"mysql_clear_password", ""},
        {"dialog", "\x04Password: "},
        {"sha256_password", "abcdefghijklmnopqrst"s + '\0'},
        {"caching_sha2_password", "abcdefghijklmnopqrst"s + '\0'},
    };
    for (const Case& c : cases) {
        FakeServer server("\xfe"s + c.method + '\0' + c.data);
        ASSERT_GT(server.Port(), 0);
        server.Start();
        Connection cn;
        config::ConnectionParameters parameters;
        parameters.Server = "127.0.0.1";
        parameters.Port = server.Port();
        parameters.Database = parameters.UserName = "tessel";
        parameters.Password = kPassword;
        cn.SetParameters(parameters);
        EXPECT_THROW(cn.Connect(), DatabaseError) << c.method;
        server.Join();
        EXPECT_EQ(server.Received.find(kPassword), std::string::npos) << c.method;
        // The client logs in as usual, and ends the login at the request: it answers nothing.
        EXPECT_NE(server.Login.find("tessel"), std::string::npos) << c.method;
        EXPECT_EQ(server.AfterSwitch, "") << c.method;
        EXPECT_FALSE(cn.IsConnected());
    }
}

}  // namespace
}  // namespace tessel::db
