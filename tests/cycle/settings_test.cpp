#include "cycle/settings.h"

#include <sys/stat.h>

#include "cycle_fixture.h"
#include "support/temp_dir.h"
#include "util/error.h"
#include "util/event_log.h"

namespace tessel::cycle::test {
namespace {

class SettingsTest : public CycleTest {
protected:
    void SetUp() override {
        db.Connect();
    }
    // ReadWith - reads the usual settings with key set to value (or missing for nullptr).
    CycleSettings ReadWith(const std::string& key, const char* value) {
        UsualSettings();
        sql().Exec("DELETE FROM configs WHERE Propriedade = " + sql().Quote(key));
        if (value != nullptr) Set(key, value);
        return ReadSmtpSettings(db);
    }
    void Reset() { sql().Exec("DELETE FROM configs"); }
};

TEST_F(SettingsTest, AMissingKeyReadsAsEmpty) {
    EXPECT_EQ(ReadSetting(db, "email.servidor"), "");
    Set("email.servidor", "mail.example");
    EXPECT_EQ(ReadSetting(db, "email.servidor"), "mail.example");
}

TEST_F(SettingsTest, EveryFieldComesFromItsKey) {
    UsualSettings();
    Set("email.outlook", "0");
    CycleSettings s = ReadSmtpSettings(db);
    EXPECT_EQ(s.Smtp.Host, "smtp.example");
    EXPECT_EQ(s.Smtp.Port, 587);
    EXPECT_EQ(s.Smtp.UserName, "user");
    EXPECT_EQ(s.Smtp.Password, "secret");
    EXPECT_EQ(s.Smtp.SenderAddress, "alarms@example");
    EXPECT_FALSE(s.Smtp.UseTls);
    EXPECT_FALSE(s.Hold);
}

TEST_F(SettingsTest, RetryHoursAndAlarmCatchupHaveDefaultsAndZeroSwitchesThemOff) {
    struct Case {
        const char* value;
        std::int32_t result;
    } cases[] = {{nullptr, -1}, {"", -1}, {"abc", -1}, {"-5", -1}, {"0", 0}, {"7", 7}, {" 36", 36}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(missing)");
        EXPECT_EQ(ReadWith("email.retry.hours", c.value).Smtp.RetryHours, c.result < 0 ? 120 : c.result);
        Reset();
        EXPECT_EQ(ReadWith("alarm.catchup.minutes", c.value).AlarmCatchupMinutes, c.result < 0 ? 1440 : c.result);
        Reset();
    }
    EXPECT_EQ(ReadWith("alarm.catchup.minutes", "2147483647").AlarmCatchupMinutes, kLongestAlarmCatchupMinutes);
}

TEST_F(SettingsTest, AuthenticationKeysAreOptionalTextsReadEveryCycle) {
    UsualSettings();
    CycleSettings before = ReadSmtpSettings(db);
    EXPECT_EQ(before.Smtp.AuthMechanism, "");
    EXPECT_EQ(before.Smtp.OAuth, smtp::OAuthClient{});

    Set("email.auth", "xoauth2");
    Set("email.oauth.url", "https://login.example/tenant/oauth2/v2.0/token");
    Set("email.oauth.client", "client-id");
    Set("email.oauth.secret", "client-secret");
    Set("email.oauth.scope", "https://outlook.office365.com/.default");
    Set("email.oauth.refresh", "refresh-token");
    Set("email.oauth.ca", "/etc/tessel/ca.pem");
    CycleSettings s = ReadSmtpSettings(db);
    EXPECT_EQ(s.Smtp.AuthMechanism, "xoauth2");
    EXPECT_EQ(s.Smtp.OAuth, (smtp::OAuthClient{"https://login.example/tenant/oauth2/v2.0/token", "client-id",
                                                "client-secret", "https://outlook.office365.com/.default",
                                                "refresh-token", "/etc/tessel/ca.pem"}));

    // A service-account key acts for the mailbox of email.user.
    Set("email.oauth.key", "/etc/tessel/google.json");
    s = ReadSmtpSettings(db);
    EXPECT_EQ(s.Smtp.OAuth.KeyFile, "/etc/tessel/google.json");
    EXPECT_EQ(s.Smtp.OAuth.Subject, s.Smtp.UserName);
    EXPECT_TRUE(s.Smtp.OAuth.Configured());
}

TEST_F(SettingsTest, HeloNameIsTrimmedAndAnUnusableOneDropped) {
    std::vector<std::string> warnings;
    ScopedEventSink sink([&](Severity, const std::string&, const std::string& text) { warnings.push_back(text); });
    const struct {
        const char* value;
        const char* helo;
        bool warned;
    } cases[] = {{nullptr, "", false}, {"", "", false}, {"  ", "", false},
                 {"mail.example.org", "mail.example.org", false},
                 {" mail.example.org\t", "mail.example.org", false}, {"[192.0.2.7]", "[192.0.2.7]", false},
                 {"two words", "", true}, {"mail\r\nRSET", "", true}, {"m\xE1il.example", "", true}};
    for (const auto& c : cases) {
        warnings.clear();
        EXPECT_EQ(ReadWith("email.helo", c.value).Smtp.Helo, c.helo) << (c.value ? c.value : "(missing)");
        EXPECT_EQ(warnings.size(), c.warned ? 1u : 0u) << (c.value ? c.value : "(missing)");
        Reset();
    }
}

TEST_F(SettingsTest, PortIsLenientWithDefault25) {
    struct Case {
        const char* value;
        std::int32_t port;
    } cases[] = {{nullptr, 25}, {"", 25}, {"abc", 25}, {"587 ", 25}, {" 587", 587}, {"$24B", 587},
                 {"465", 465}};
    for (const Case& c : cases) {
        EXPECT_EQ(ReadWith("email.porta", c.value).Smtp.Port, c.port) << (c.value ? c.value : "(missing)");
        Reset();
    }
}

TEST_F(SettingsTest, MessagesPerSessionAreLenientAndAtLeastOne) {
    struct Case {
        const char* value;
        std::int32_t messages;
    } cases[] = {{nullptr, 1}, {"", 1}, {"abc", 1}, {"0", 1}, {"-5", 1}, {"1", 1}, {"100", 100}};
    for (const Case& c : cases) {
        EXPECT_EQ(ReadWith("email.reuse", c.value).Smtp.MessagesPerSession, c.messages)
            << (c.value ? c.value : "(missing)");
        Reset();
    }
}

TEST_F(SettingsTest, TlsFlagIsStrictAndOnlyOneTurnsItOn) {
    struct Case {
        const char* value;
        bool tls;
    } cases[] = {{"1", true}, {" 1", true}, {"+1", true}, {"01", true},
                 {"0", false}, {"2", false}, {"-1", false}};
    for (const Case& c : cases) {
        EXPECT_EQ(ReadWith("email.ssl", c.value).Smtp.UseTls, c.tls) << c.value;
        Reset();
    }
    struct Bad {
        const char* value;
        const char* message;
    } bad[] = {{"1 ", "'1 ' is not a valid integer value"},
               {"yes", "'yes' is not a valid integer value"},
               {"", "'' is not a valid integer value"},
               {nullptr, "'' is not a valid integer value"}};
    for (const Bad& b : bad) {
        try {
            ReadWith("email.ssl", b.value);
            ADD_FAILURE() << "no error for " << (b.value ? b.value : "(missing)");
        } catch (const ConversionError& e) {
            EXPECT_STREQ(e.what(), b.message);
        }
        Reset();
    }
}

TEST_F(SettingsTest, HoldSwitchOnlyForOne) {
    struct Case {
        const char* value;
        bool hold;
    } cases[] = {{"1", true}, {"$1", true}, {"true", false}, {"", false}, {nullptr, false}, {"2", false}};
    for (const Case& c : cases) {
        EXPECT_EQ(ReadWith("email.outlook", c.value).Hold, c.hold) << (c.value ? c.value : "(missing)");
        Reset();
    }
}

TEST_F(SettingsTest, TlsChecksAreOffUnlessSetAndReadAsStored) {
    CycleSettings absent = ReadWith("email.tls.verify", nullptr);
    EXPECT_FALSE(absent.Smtp.TlsVerify);
    EXPECT_FALSE(absent.Smtp.ImplicitTls);
    EXPECT_EQ(absent.Smtp.TlsCa, "");
    EXPECT_EQ(absent.Smtp.TlsPins, "");
    Reset();
    struct Case {
        const char* value;
        bool on;
    } cases[] = {{"1", true}, {" 1", true}, {"0", false}, {"", false}, {"yes", false}, {"2", false}};
    for (const Case& c : cases) {
        EXPECT_EQ(ReadWith("email.tls.verify", c.value).Smtp.TlsVerify, c.on) << c.value;
        Reset();
        EXPECT_EQ(ReadWith("email.tls.implicit", c.value).Smtp.ImplicitTls, c.on) << c.value;
        Reset();
    }
    EXPECT_EQ(ReadWith("email.tls.ca", "/etc/ssl/private ca.pem").Smtp.TlsCa, "/etc/ssl/private ca.pem");
    Reset();
    EXPECT_EQ(ReadWith("email.tls.pin", "ab:cd; EF").Smtp.TlsPins, "ab:cd; EF");
    Reset();
}

// A value that cannot be used is found when the settings are read, named by its key; the others
// of the same kind pass.
TEST_F(SettingsTest, UnusableTransportSettingsAreNamedByTheirKey) {
    tessel::test::TempDir files;
    const std::string fifo = files.Path() + "/ca.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        const char* name;
        std::vector<std::pair<std::string, std::string>> values;
        const char* key;  // nullptr: usable
        const char* what;
    } cases[] = {
        {"pin not hex", {{"email.ssl", "1"}, {"email.tls.pin", "zz:11"}}, "email.tls.pin", "zz:11"},
        {"pin without TLS is not used", {{"email.tls.pin", "zz:11"}}, nullptr, ""},
        {"unknown mechanism", {{"email.auth", "cram-md5\x1b"}}, "email.auth", "\"cram-md5\\x1B\" is none of"},
        {"xoauth2 without endpoint", {{"email.auth", "XOAUTH2"}}, "email.auth", "email.oauth.url"},
        {"forced login", {{"email.auth", "Login"}}, nullptr, ""},
        {"endpoint over http", {{"email.oauth.url", "http://token.example/t"}}, "email.oauth.url", "https://"},
        {"missing CA file", {{"email.ssl", "1"}, {"email.tls.verify", "1"}, {"email.tls.ca", "/nonexistent/ca.pem"}},
         "email.tls.ca", "cannot be opened"},
        {"a FIFO as CA", {{"email.ssl", "1"}, {"email.tls.verify", "1"}, {"email.tls.ca", fifo}}, "email.tls.ca",
         "neither a regular file nor a directory"},
        {"a FIFO as the endpoint's CA",
         {{"email.oauth.url", "https://token.example/t"}, {"email.oauth.ca", fifo}}, "email.oauth.ca",
         "neither a regular file nor a directory"},
        {"a directory as CA", {{"email.ssl", "1"}, {"email.tls.verify", "1"}, {"email.tls.ca", files.Path()}},
         nullptr, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        UsualSettings();
        for (const auto& [key, value] : c.values) {
            sql().Exec("DELETE FROM configs WHERE Propriedade = " + sql().Quote(key));
            Set(key, value);
        }
        CycleSettings settings = ReadSmtpSettings(db);
        if (c.key == nullptr) {
            EXPECT_TRUE(settings.Problems.empty()) << settings.Problems.front().Key;
            continue;
        }
        ASSERT_EQ(settings.Problems.size(), 1u);
        EXPECT_EQ(settings.Problems[0].Key, c.key);
        EXPECT_NE(settings.Problems[0].What.find(c.what), std::string::npos) << settings.Problems[0].What;
    }
    Reset();
}

// With a setting that cannot be used the cycle sends nothing, says which key is wrong in an error
// record (not that the server cannot be used), and reports the drain as deferred.
// The sending limits: off when empty or 0, a whole number from 0 up, anything else a problem of
// its key.
TEST_F(SettingsTest, SendingLimitsAreWholeNumbersOrProblemsOfTheirKey) {
    const struct {
        const char* value;
        std::int32_t limit;
        bool problem;
    } cases[] = {{"", 0, false}, {" ", 0, false}, {"0", 0, false},    {"30", 30, false},
                 {" 2000", 2000, false}, {"-1", 0, true}, {"30/min", 0, true}, {"1e3", 0, true}};
    UsualSettings();
    for (const auto& c : cases) {
        for (const char* key : {"email.rate", "email.rate.day"}) {
            SCOPED_TRACE(std::string(key) + " = \"" + c.value + "\"");
            sql().Exec("DELETE FROM configs WHERE Propriedade LIKE 'email.rate%'");
            Set(key, c.value);
            CycleSettings settings = ReadSmtpSettings(db);
            const std::int32_t read = std::string(key) == "email.rate" ? settings.Smtp.MessagesPerMinute
                                                                        : settings.Smtp.RecipientsPerDay;
            EXPECT_EQ(read, c.limit);
            ASSERT_EQ(settings.Problems.size(), c.problem ? 1u : 0u);
            if (c.problem) {
                EXPECT_EQ(settings.Problems[0].Key, key);
                EXPECT_EQ(settings.Problems[0].What, "\"" + std::string(c.value) + "\" is not a whole number from 0 up");
            }
        }
    }
}

TEST_F(SettingsTest, AnUnusableSettingSendsNothingAndNamesTheKey) {
    std::vector<std::pair<Severity, std::string>> records;
    ScopedEventSink sink([&](Severity severity, const std::string&, const std::string& text) {
        records.emplace_back(severity, text);
    });
    UsualSettings();
    Set("email.auth", "ntlm");
    sql().Exec("INSERT INTO mail_spooler VALUES (1, 's@example', 'r@example', 'Subject', 'Body', NULL)");
    WorkCycle cycle = Cycle();
    EXPECT_EQ(cycle.RunCycle(), CycleOutcome::Completed);
    EXPECT_EQ(cycle.LastDrain().Outcome, DrainOutcome::Deferred);
    EXPECT_TRUE(sender.Calls.empty());
    bool named = false;
    for (const auto& [severity, text] : records) {
        EXPECT_EQ(text.find("cannot be used; "), std::string::npos) << text;
        named = named || (severity == Severity::Error && text.find("The setting email.auth cannot be used") == 0);
    }
    EXPECT_TRUE(named);
    EXPECT_EQ(sql().Scalar("SELECT COUNT(*) FROM mail_spooler"), "1");
    Reset();
    sql().Exec("DELETE FROM mail_spooler");
}

TEST_F(SettingsTest, PasswordIsUsedExactlyAsStored) {
    EXPECT_EQ(ReadWith("email.pass", " p'a\\ss ").Smtp.Password, " p'a\\ss ");
}

TEST_F(SettingsTest, SmsGatewaySettingsMissingOrPresent) {
    SmsGatewaySettings none = ReadSmsGatewaySettings(db);
    EXPECT_EQ(none.Prefix + none.User + none.Password + none.ApiId, "");
    Set("sms.prefix", "351");
    Set("sms.user", "u");
    Set("sms.password", "p");
    Set("sms.idapi", "42");
    SmsGatewaySettings all = ReadSmsGatewaySettings(db);
    EXPECT_EQ(all.Prefix, "351");
    EXPECT_EQ(all.User, "u");
    EXPECT_EQ(all.Password, "p");
    EXPECT_EQ(all.ApiId, "42");
}

}  // namespace
}  // namespace tessel::cycle::test
