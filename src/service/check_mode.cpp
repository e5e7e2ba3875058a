#include "service/check_mode.h"

#include <ctime>
#include <memory>
#include <optional>
#include <ostream>
#include <vector>

#include "config/config_file_mode.h"
#include "config/startup_config.h"
#include "cycle/settings.h"
#include "db/database.h"
#include "mail/send_email.h"
#include "mime/compose.h"
#include "mime/message_id.h"
#include "service/check_advice.h"
#include "smtp/oauth_token.h"
#include "smtp/smtp_client.h"
#include "util/error.h"
#include "util/record_text.h"

namespace tessel::service {
namespace {

using smtp::DeliveryResult;

constexpr std::size_t kStepNameWidth = 12;
constexpr std::size_t kResultWidth = 10;
// The capability list of EHLO is shown up to this many bytes.
constexpr std::size_t kCapabilitiesShown = 200;

// CheckFailed - a step failed; the steps after it are not tried.
struct CheckFailed {
    int Status;
};

class CheckReport {
public:
    explicit CheckReport(std::ostream& out) : out_(out) {}

    void Passed(CheckStep step, const std::string& detail) { Line(step, "ok", detail); }
    void Off(CheckStep step, const std::string& why) { Line(step, "off", why); }
    void NotTried(CheckStep step) { Line(step, "not tried", ""); }
    void Note(const std::string& text) { out_ << std::string(kStepNameWidth + kResultWidth, ' ') << text << "\n"; }

    // Fail - the failed step's line, the setting to look at, and the end of the check.
    [[noreturn]] void Fail(CheckStep step, const std::string& reason, const std::string& lookAt, int status) {
        Line(step, "FAILED", PeerText(reason));
        if (!lookAt.empty()) Note("look at: " + lookAt);
        failed_ = step;
        throw CheckFailed{status};
    }

    void Summary() {
        if (failed_) {
            out_ << "The check failed at the step " << StepName(*failed_) << ".\n";
        } else {
            out_ << "Every step passed.\n";
        }
        out_ << std::flush;
    }

private:
    void Line(CheckStep step, std::string_view result, const std::string& detail) {
        std::string name(StepName(step));
        name.resize(std::max(name.size() + 1, kStepNameWidth), ' ');
        std::string shown(result);
        shown.resize(std::max(shown.size() + 1, kResultWidth), ' ');
        std::string line = name + shown + detail;
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out_ << line << "\n" << std::flush;
    }

    std::ostream& out_;
    std::optional<CheckStep> failed_;
};

smtp::SessionTimeouts CheckTimeouts(std::chrono::seconds timeout) {
    smtp::SessionTimeouts timeouts;
    timeouts.Connect = timeouts.Reply = timeouts.DataEnd = timeouts.Write = timeout;
    timeouts.Token = {timeout, timeout};
    return timeouts;
}

std::string TlsMode(const smtp::SmtpAccount& account) {
    if (account.ImplicitTls) return "implicit TLS";
    return account.UseTls ? "STARTTLS" : "no TLS";
}

std::string SettingsSummary(const cycle::SmtpSettings& smtp) {
    std::string text = RecordText(smtp.Host) + " port " + std::to_string(smtp.ConnectPort()) + ", " + TlsMode(smtp);
    if (smtp.WantsTls()) {
        text += smtp.TlsVerify ? ", certificate checked" : ", certificate not checked";
        if (!smtp.TlsPins.empty()) text += ", key pinned";
    }
    text += smtp.UserName.empty() ? ", no AUTH"
                                  : ", AUTH " + (smtp.AuthMechanism.empty() ? std::string("automatic")
                                                                            : RecordText(smtp.AuthMechanism)) +
                                        " as " + RecordText(smtp.UserName);
    return text;
}

// What the check works with, step by step.
struct Check {
    Check(const CheckOptions& options, CheckReport& report) : Options(options), Report(report) {}

    const CheckOptions& Options;
    CheckReport& Report;
    config::ConnectionParameters Parameters;
    db::Database Db;
    cycle::SmtpSettings Smtp;
};

void CheckConfigFile(const config::FileLocations& locations, Check& check) {
    std::string path;
    try {
        config::CheckGivenLocations(locations);
        path = config::ConfigFilePath(locations);
        check.Parameters = config::ReadStartupConfiguration(path);
    } catch (const std::exception& e) {
        check.Report.Fail(CheckStep::ConfigFile, e.what(),
                          path.empty() ? "--config and --state-dir" : path + " (Password: make it with --encipher)",
                          kExitCheckConfigFile);
    }
    check.Report.Passed(CheckStep::ConfigFile, path);
    if (std::string warning = config::ConfigFileModeWarning(path); !warning.empty()) check.Report.Note(warning);
}

void CheckDatabase(Check& check) {
    const config::ConnectionParameters& p = check.Parameters;
    check.Db.SetParameters(p);
    try {
        check.Db.Connect();
    } catch (const std::exception& e) {
        check.Report.Fail(CheckStep::Database, e.what(), "Server, Port, Database, Username and Password in configs.ini",
                          kExitCheckDatabase);
    }
    check.Report.Passed(CheckStep::Database, RecordText(p.UserName) + "@" + RecordText(p.Server) + ":" +
                                                 std::to_string(p.Port) + ", database " + RecordText(p.Database) +
                                                 (check.Db.Cn().UsesTls() ? ", over TLS" : ""));
}

void CheckSettings(Check& check) {
    cycle::CycleSettings settings;
    try {
        settings = cycle::ReadSmtpSettings(check.Db, true);
    } catch (const std::exception& e) {
        check.Report.Fail(CheckStep::Settings, e.what(), "email.ssl (0 or 1)", kExitCheckMailServer);
    }
    check.Smtp = settings.Smtp;
    if (!settings.Problems.empty()) {
        const smtp::SettingProblem& first = settings.Problems.front();
        for (std::size_t i = 1; i < settings.Problems.size(); ++i) {
            check.Report.Note("also: the setting " + settings.Problems[i].Key + " cannot be used: " +
                              settings.Problems[i].What);
        }
        check.Report.Fail(CheckStep::Settings, "The setting " + first.Key + " cannot be used: " + first.What,
                          first.Key, kExitCheckMailServer);
    }
    if (!check.Options.TestAddress.empty() && check.Smtp.SenderAddress.empty()) {
        check.Report.Fail(CheckStep::Settings, "email.remetente is empty: the test message would have no sender",
                          "email.remetente", kExitCheckMailServer);
    }
    check.Report.Passed(CheckStep::Settings, SettingsSummary(check.Smtp));
    if (settings.Hold) {
        check.Report.Note("the hold switch email.outlook = 1 is on: the service sends nothing while it is");
    }
}

void CheckToken(Check& check, const smtp::SessionTimeouts& timeouts) {
    if (!UsesXOAuth2(check.Smtp)) return;
    try {
        // The process's cache keeps the token for the AUTH step.
        smtp::ProcessTokenCache().Token(check.Smtp.OAuth, timeouts.Token);
    } catch (const std::exception& e) {
        check.Report.Fail(CheckStep::Token, e.what(), TokenAdvice(e.what()), kExitCheckMailServer);
    }
    check.Report.Passed(CheckStep::Token, "an access token was issued");
}

// SessionSteps - the steps of opening a session, in the order they happen.
std::vector<CheckStep> SessionSteps(const smtp::SmtpAccount& account) {
    if (account.ImplicitTls) return {CheckStep::Connect, CheckStep::Tls, CheckStep::Greeting, CheckStep::Hello, CheckStep::Auth};
    return {CheckStep::Connect, CheckStep::Greeting, CheckStep::Hello, CheckStep::Tls, CheckStep::Auth};
}

std::string Capabilities(const smtp::SmtpClient& client) {
    std::string text;
    for (const std::string& line : client.Capabilities()) text += (text.empty() ? "" : ", ") + line;
    if (text.size() > kCapabilitiesShown) text = text.substr(0, kCapabilitiesShown) + "...";
    return text.empty() ? "no extensions (HELO)" : RecordText(text);
}

std::string StepDetail(CheckStep step, const smtp::SmtpAccount& account, const smtp::SmtpClient& client) {
    switch (step) {
        case CheckStep::Connect: return RecordText(account.Host) + " port " + std::to_string(account.ConnectPort());
        case CheckStep::Tls:
            return TlsMode(account) + (account.TlsVerify ? ", certificate and name checked" : "") +
                   (account.TlsPins.empty() ? "" : ", key matches email.tls.pin");
        case CheckStep::Hello: return Capabilities(client);
        case CheckStep::Auth: return "accepted for " + RecordText(account.UserName);
        default: return "";
    }
}

// Skipped - why step is left out by the settings; empty when it runs.
std::string Skipped(CheckStep step, const smtp::SmtpAccount& account) {
    if (step == CheckStep::Tls && !account.WantsTls()) return "email.ssl = 0 and email.tls.implicit = 0";
    if (step == CheckStep::Auth && account.UserName.empty()) return "no email.user";
    return "";
}

// ReportSession - one line for each step of opening the session: passed up to failedAt, which failed.
void ReportSession(Check& check, const smtp::SmtpClient& client, const DeliveryResult& opened, bool connected) {
    const smtp::SmtpAccount& account = check.Smtp;
    std::optional<CheckStep> failedAt;
    if (!opened.Delivered) failedAt = FailedStep(opened, connected);
    for (CheckStep step : SessionSteps(account)) {
        if (std::string why = Skipped(step, account); !why.empty()) {
            check.Report.Off(step, why);
        } else if (step == failedAt) {
            check.Report.Fail(step, opened.Reason, SessionAdvice(step, opened, account), kExitCheckMailServer);
        } else {
            check.Report.Passed(step, StepDetail(step, account, client));
        }
    }
}

// SendTestMessage - the short test message through the open session.
void SendTestMessage(Check& check, smtp::SmtpClient& client) {
    const std::string host = smtp::LocalHostName();
    std::time_t now = std::time(nullptr);
    char when[64] = {};
    std::tm local{};
    ::localtime_r(&now, &local);
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S %z", &local);
    const std::string subject = "tesselcomsvc test message from " + host + " at " + when;
    const std::string body = "This message was sent by tesselcomsvc --send-test on " + host + " at " + when +
                             ".\r\nThe mail settings work.";
    mime::OutgoingMessage message;
    smtp::Envelope envelope;
    try {
        message = mime::ComposeMessage(check.Smtp.SenderAddress, check.Options.TestAddress, subject, body, {});
        envelope = mail::MessageEnvelope(message);
    } catch (const std::exception& e) {
        check.Report.Fail(CheckStep::Message, e.what(), "the address given to --send-test, and email.remetente",
                          kExitCheckMailServer);
    }
    message.MessageId = mail::MessageIdFor(message, 0, check.Smtp.SenderAddress, subject, body, check.Smtp,
                                           mime::MessageIdKey(check.Parameters.UserName, check.Parameters.Password));
    DeliveryResult sent = client.Transact(envelope, mail::RenderedText(message));
    if (!sent.Delivered) {
        check.Report.Fail(CheckStep::Message, sent.Reason, SessionAdvice(CheckStep::Message, sent, check.Smtp),
                          kExitCheckMailServer);
    }
    check.Report.Passed(CheckStep::Message, "sent to " + RecordText(check.Options.TestAddress));
    check.Report.Note("reply to the final \".\": " + PeerText(client.LastReply().Describe()));
    check.Report.Note("Message-ID: " + message.MessageId);
}

void CheckSession(Check& check, const smtp::SessionTimeouts& timeouts) {
    bool connected = false;
    smtp::TransportConnector connector = [&connected](const std::string& host, std::int32_t port, bool useTls,
                                                      const smtp::SessionTimeouts& bounds) {
        auto transport = smtp::ConnectLine(host, port, useTls, bounds);
        connected = true;
        return transport;
    };
    smtp::SmtpClient client(check.Smtp, timeouts, connector);
    DeliveryResult opened = client.Open();
    ReportSession(check, client, opened, connected);
    if (!check.Options.TestAddress.empty()) SendTestMessage(check, client);
    DeliveryResult quit = client.Quit();
    if (!quit.Delivered) check.Report.Fail(CheckStep::Quit, quit.Reason, "", kExitCheckMailServer);
    check.Report.Passed(CheckStep::Quit, PeerText(client.LastReply().Describe()));
}

}  // namespace

int RunCheck(const config::FileLocations& locations, const CheckOptions& options, std::ostream& out) noexcept {
    try {
        CheckReport report(out);
        Check check(options, report);
        const smtp::SessionTimeouts timeouts = CheckTimeouts(options.Timeout);
        int status = 0;
        try {
            CheckConfigFile(locations, check);
            CheckDatabase(check);
            CheckSettings(check);
            CheckToken(check, timeouts);
            CheckSession(check, timeouts);
        } catch (const CheckFailed& failed) {
            status = failed.Status;
        }
        check.Db.Disconnect();
        report.Summary();
        return status;
    } catch (const std::exception& e) {
        try {
            out << "The check could not go on: " << e.what() << "\n" << std::flush;
        } catch (...) {
        }
        return kExitCheckConfigFile;
    }
}

}  // namespace tessel::service
