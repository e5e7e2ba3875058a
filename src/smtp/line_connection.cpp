#include "smtp/line_connection.h"

#include <algorithm>

namespace tessel::smtp {

namespace {

bool IsBlankOrControl(char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte <= 32 || byte == 127;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlankOrControl(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlankOrControl(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

LineConnection::LineConnection(std::chrono::milliseconds writeTimeout) : writeTimeout_(writeTimeout) {}

LineConnection::~LineConnection() {
    Close();
}

void LineConnection::Open(const std::string& host, std::int32_t port, bool tlsCapable, Deadline deadline) {
    if (host.empty()) {
        throw TransportError("No SMTP server is set");
    }
    if (port <= 0 || port > 65535) {
        throw TransportError("The SMTP port " + std::to_string(port) + " is not usable");
    }
    in_addr address = ResolveIPv4(host);
    TcpSocket socket = TcpSocket::Connect(address, static_cast<std::uint16_t>(port), deadline);
    std::unique_ptr<TlsLayer> tls;
    if (tlsCapable) {
        tls = std::make_unique<TlsLayer>();  // a failure here closes the socket before the greeting
    }
    host_ = host;
    socket_ = std::move(socket);
    tls_ = std::move(tls);
    input_.clear();
    searched_ = 0;
    peerClosed_ = false;
}

ByteStream& LineConnection::Stream() {
    if (tls_ && tls_->Active()) {
        return *tls_;
    }
    return socket_;
}

void LineConnection::DropSocket() noexcept {
    if (tls_) {
        tls_->Shutdown();
    }
    socket_.Close();
}

bool LineConnection::Fill(Deadline deadline) {
    if (!socket_.Valid()) {
        throw PeerClosed("Connection closed by the server");
    }
    char chunk[kReceiveChunk];
    std::optional<std::size_t> got;
    try {
        got = Stream().Receive(chunk, sizeof chunk, deadline);
    } catch (...) {
        DropSocket();
        throw;
    }
    if (!got) {
        return false;
    }
    if (*got == 0) {
        peerClosed_ = true;
        DropSocket();
        return true;
    }
    input_.append(chunk, *got);
    return true;
}

std::string LineConnection::ReadLine(Deadline deadline) {
    for (;;) {
        std::size_t lf = input_.find('\n', searched_);
        if (lf != std::string::npos) {
            if (lf > kMaxLineBytes) {
                throw TransportError("Line too long from the server");
            }
            std::size_t end = (lf > 0 && input_[lf - 1] == '\r') ? lf - 1 : lf;
            std::string line = input_.substr(0, end);
            input_.erase(0, lf + 1);
            searched_ = 0;
            return line;
        }
        searched_ = input_.size();
        if (input_.size() > kMaxLineBytes) {
            throw TransportError("Line too long from the server");
        }
        if (peerClosed_ || !socket_.Valid()) {
            throw PeerClosed("Connection closed by the server");
        }
        if (!Fill(deadline)) {
            throw TransportError("Timed out waiting for the server's reply");
        }
    }
}

std::string LineConnection::ReadFirstLine(Deadline deadline) {
    for (;;) {
        std::string line = ReadLine(deadline);
        std::string_view trimmed = Trim(line);
        if (!trimmed.empty()) {
            return std::string(trimmed);
        }
    }
}

void LineConnection::Send(std::string_view bytes) {
    if (!socket_.Valid()) {
        throw PeerClosed("Connection closed by the server");
    }
    try {
        Stream().Send(bytes, DeadlineAfter(writeTimeout_));
    } catch (const PeerClosed&) {
        DropSocket();
        throw;
    } catch (const TransportError&) {
        throw;  // an expired wait: the connection itself may still be usable for QUIT
    } catch (...) {
        DropSocket();
        throw;
    }
}

void LineConnection::WriteBytes(std::string_view bytes) {
    if (batch_) {
        batch_->append(bytes);
        return;
    }
    Send(bytes);
}

void LineConnection::WriteLine(std::string_view text) {
    if (batch_) {
        batch_->append(text);
        batch_->append("\r\n");
        return;
    }
    std::string line;
    line.reserve(text.size() + 2);
    line.append(text);
    line.append("\r\n");
    Send(line);
}

void LineConnection::BeginBatch() {
    batch_.emplace();
}

void LineConnection::FlushBatch() {
    if (!batch_ || batch_->empty()) {
        return;
    }
    // The buffer keeps its size for the rest of the batch: a long text is not copied again as it grows.
    try {
        Send(*batch_);
    } catch (...) {
        batch_->clear();
        throw;
    }
    batch_->clear();
}

void LineConnection::EndBatch() {
    if (!batch_) {
        return;
    }
    std::string bytes = std::move(*batch_);
    batch_.reset();
    if (!bytes.empty()) {
        Send(bytes);
    }
}

void LineConnection::DiscardBatch() noexcept {
    batch_.reset();
}

bool LineConnection::IsOpen() {
    if (socket_.Valid() && !peerClosed_) {
        try {
            Fill(Clock::now());  // a zero wait: notices an orderly close that has arrived
        } catch (const tessel::Error&) {
            // A broken connection counts as closed; Fill has dropped the socket.
        }
    }
    return (socket_.Valid() && !peerClosed_) || !input_.empty();
}

void LineConnection::StartTls(Deadline deadline, const TlsPeerCheck& check) {
    if (!tls_) {
        throw TlsError("The connection was not made for TLS");
    }
    if (!input_.empty()) {
        // Bytes that came before the handshake arrived in plain text and must not pass as encrypted.
        throw TlsError("The server sent data before the TLS handshake");
    }
    if (!socket_.Valid()) {
        throw PeerClosed("Connection closed by the server");
    }
    try {
        tls_->Handshake(socket_.Fd(), host_, deadline, check);
    } catch (const TlsCheckError&) {
        // Not the server meant: it gets no further byte, not even a QUIT.
        DropSocket();
        throw;
    }
}

void LineConnection::Close() noexcept {
    batch_.reset();
    input_.clear();
    searched_ = 0;
    DropSocket();
    tls_.reset();
}

}  // namespace tessel::smtp
