// A MailSender that records every call and answers with a chosen result.
#pragma once

#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "mail/mail_sender.h"
#include "support/temp_dir.h"

namespace tessel::cycle::test {

struct SendCall {
    std::string Sender, Recipient, Subject, Body, Host, UserName, Password;
    std::vector<std::string> AttachmentPaths;
    std::vector<std::string> AttachmentContents;  // each file as it was at the call
    std::vector<bool> AttachmentExists;
    std::int32_t Port = 0;
    bool UseTls = false;
    std::int32_t RowId = 0;
    std::int32_t MessagesPerSession = 1;
};

class RecordingSender : public mail::MailSender {
public:
    // Result decides each call's outcome (delivered by default); OnSend runs inside the call.
    std::function<smtp::DeliveryResult(const SendCall&)> Result;
    std::function<void(const SendCall&)> OnSend;
    std::vector<SendCall> Calls;
    int SessionsEnded = 0;  // EndSession calls

    void EndSession() noexcept override { ++SessionsEnded; }

    smtp::DeliveryResult SendEmail(const std::string& sender, const std::string& recipient,
                                   const std::string& subject, std::string_view body,
                                   const std::vector<std::string>& attachmentPaths,
                                   const smtp::SmtpAccount& server, std::int32_t rowId) override {
        SendCall call{sender, recipient, subject, std::string(body), server.Host, server.UserName,
                      server.Password, attachmentPaths, {}, {}, server.Port, server.UseTls, rowId, server.MessagesPerSession};
        for (const std::string& path : attachmentPaths) {
            call.AttachmentContents.push_back(tessel::test::ReadFile(path));
            call.AttachmentExists.push_back(::access(path.c_str(), F_OK) == 0);
        }
        Calls.push_back(call);
        if (OnSend) OnSend(call);
        return Result ? Result(call) : smtp::DeliveryResult::Success();
    }

    std::vector<std::string> Recipients() const {
        std::vector<std::string> out;
        for (const SendCall& call : Calls) out.push_back(call.Recipient);
        return out;
    }
};

}  // namespace tessel::cycle::test
