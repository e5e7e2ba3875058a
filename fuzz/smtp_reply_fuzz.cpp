// The SMTP session fed arbitrary server bytes through an in-memory connection: the reply reader and
// every step after it must end in a result, never a crash or an escaped error.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "smtp/line_connection.h"
#include "smtp/smtp_client.h"
#include "smtp/smtp_reply.h"

namespace {

using namespace tessel::smtp;

// ScriptedInput - the server's bytes, handed out as lines by the connection's rules.
class ScriptedInput : public LineTransport {
public:
    explicit ScriptedInput(std::string input) : input_(std::move(input)) {}

    std::string ReadLine(Deadline) override {
        std::size_t lf = input_.find('\n', at_);
        if (lf == std::string::npos) throw TransportError("closed by the server");
        if (lf - at_ + 1 > kMaxLineBytes) throw TransportError("line too long");
        std::string line = input_.substr(at_, lf - at_);
        at_ = lf + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
    }
    std::string ReadFirstLine(Deadline deadline) override {
        for (;;) {
            std::string line(TrimReplyText(ReadLine(deadline)));
            if (!line.empty()) return line;
        }
    }
    void WriteLine(std::string_view text) override { written_ += text.size() + 2; }
    void BeginBatch() override { batch_ = 0; }
    void FlushBatch() override {}
    void EndBatch() override {}
    void DiscardBatch() noexcept override {}
    std::size_t BatchSize() const override { return batch_; }
    bool IsOpen() override { return at_ < input_.size(); }
    void StartTls(Deadline, const TlsPeerCheck&) override { throw TransportError("no TLS here"); }
    void Close() noexcept override {}

private:
    std::string input_;
    std::size_t at_ = 0;
    std::size_t written_ = 0;
    std::size_t batch_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
    SmtpAccount account{"127.0.0.1", 2525, data[0] & 1 ? "user" : "", "secret", (data[0] & 2) != 0};
    SessionTimeouts timeouts;
    SmtpClient client(account, timeouts,
                      [&input](const std::string&, std::int32_t, bool, const SessionTimeouts&) {
                          return std::make_unique<ScriptedInput>(input);
                      });
    Envelope envelope{"sender@example.test", {"a@example.test", "b@example.test"}};
    MessageText text = [](const WriteLineFn& writeLine) {
        writeLine("Subject: Fuzz");
        writeLine("");
        writeLine("one");
        writeLine("..two");
        writeLine("");
    };
    DeliveryResult result = client.Deliver(envelope, text);
    if (result.Delivered && result.Error != ErrorKind::None) std::abort();
    return 0;
}
