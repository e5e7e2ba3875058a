// Envelope addresses that could change the command they are written into never reach the server.
#include "smtp/envelope_address.h"

#include <gtest/gtest.h>

#include "mail/send_email.h"
#include "session_fixture.h"

namespace tessel::smtp::test {
namespace {

TEST(EnvelopeAddressTest, BytesThatWouldEndTheAddressInsideTheCommandAreRefused) {
    for (int byte = 0; byte < 256; ++byte) {
        std::string address = "a" + std::string(1, static_cast<char>(byte)) + "b@example.test";
        bool refused = byte < 0x21 || byte == 0x7f || byte == '<' || byte == '>';
        std::string fault = EnvelopeAddressFault(address);
        EXPECT_EQ(!fault.empty(), refused) << "byte " << byte;
        if (byte == '\r' || byte == '\n') {
            EXPECT_EQ(fault, "An envelope address holds a line break");
        } else if (refused) {
            char expected[80];
            std::snprintf(expected, sizeof expected,
                          "An envelope address holds a byte not allowed there (0x%02X)", byte);
            EXPECT_EQ(fault, expected);
        }
    }
    EXPECT_EQ(EnvelopeAddressFault(""), "");  // the null sender
    EXPECT_EQ(EnvelopeAddressFault("\"quoted\"@example.test"), "");
}

TEST(EnvelopeAddressTest, ASenderOrRecipientWithSuchAByteFailsBeforeAnyConnection) {
    struct Case {
        std::string sender, recipient;
    } cases[] = {
        {"sender@example.test", "rcpt@example.test\tNOTIFY=SUCCESS"},
        {"sender@example.test\tRET=FULL", "rcpt@example.test"},
        {"sender@example.test", std::string("rcpt@example.test\0x", 19)},
        {"sender\x7f@example.test", "rcpt@example.test"},
        {"sender@example.test", "rcpt@example.test> NOTIFY=SUCCESS"},
        {"sender@example.test", "rcpt@example.test\r\nRCPT TO:<other@example.test>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sender + " / " + c.recipient);
        bool connected = false;
        TransportConnector never = [&](const std::string&, std::int32_t, bool,
                                       const SessionTimeouts&) -> std::unique_ptr<LineTransport> {
            connected = true;
            throw TransportError("unexpected");
        };
        Envelope envelope{c.sender, {"first@example.test", c.recipient}};
        DeliveryResult result = DeliverMessage(envelope, [](const WriteLineFn&) {},
                                               SmtpAccount{"mail.test", 25, "", "", false},
                                               TestTimeouts(), never);
        EXPECT_FALSE(result.Delivered);
        EXPECT_EQ(ClassOf(result), FailureClass::Address);
        EXPECT_FALSE(connected);
    }
}

// Through the whole mail layer: the text of a queued row's recipient.
TEST(EnvelopeAddressTest, ARecipientTextWithATabIsAnAddressFailure) {
    mail::SmtpMailSender sender(TestTimeouts());
    DeliveryResult result = sender.SendEmail("sender@example.test", "rcpt@example.test\tNOTIFY=SUCCESS",
                                             "s", "b", {}, SmtpAccount{"127.0.0.1", 1, "", "", false}, 1);
    EXPECT_EQ(ClassOf(result), FailureClass::Address) << result.Reason;
    EXPECT_EQ(result.Reason, "An envelope address holds a byte not allowed there (0x09)");
}

}  // namespace
}  // namespace tessel::smtp::test
