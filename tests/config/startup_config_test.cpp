#include "config/startup_config.h"

#include <gtest/gtest.h>

#include "config/password_cipher.h"
#include "support/temp_dir.h"
#include "util/error.h"

namespace tessel::config {
namespace {

TEST(PasswordCipher, HexDecodeRules) {
    EXPECT_EQ(HexDecode(""), "");
    EXPECT_EQ(HexDecode("4"), "");
    EXPECT_EQ(HexDecode("41"), "A");
    EXPECT_EQ(HexDecode("4142a"), "AB");  // odd length: the last digit is ignored
    EXPECT_EQ(HexDecode("ff00Fe"), std::string("\xFF\x00\xFE", 3));
    struct {
        const char* text;
        const char* message;
    } bad[] = {
        {"G1", "'$G1' is not a valid integer value"},
        {"41G1", "'$G1' is not a valid integer value"},
        {" 1", "'$ 1' is not a valid integer value"},
        {"+1", "'$+1' is not a valid integer value"},
        {"-1", "'$-1' is not a valid integer value"},
    };
    for (const auto& c : bad) {
        try {
            HexDecode(c.text);
            ADD_FAILURE() << "no error for " << c.text;
        } catch (const ConversionError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST(PasswordCipher, RoundTripsEveryByteValue) {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    const std::string samples[] = {"", "a", "secret", std::string("\0\0\0", 3), all, all + all};
    for (const auto& plain : samples) {
        std::string hex = HexEncode(EncryptString(plain, kCipherStartKey));
        EXPECT_EQ(hex.size(), plain.size() * 2);
        EXPECT_EQ(DecryptString(HexDecode(hex), kCipherStartKey), plain);
        // Lower-case digits decipher alike.
        std::string lower = hex;
        for (auto& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        EXPECT_EQ(DecryptString(HexDecode(lower), kCipherStartKey), plain);
    }
}

TEST(PasswordCipher, KeyAdvancesOnCipherByte) {
    // Two cipher texts that differ in their first byte decipher their second byte differently,
    // because the key advances on the cipher byte, not on the plain byte.
    std::string a = DecryptString(std::string("\x01\x00", 2), kCipherStartKey);
    std::string b = DecryptString(std::string("\x02\x00", 2), kCipherStartKey);
    EXPECT_NE(a[1], b[1]);
    EXPECT_EQ(static_cast<unsigned char>(a[0]) ^ 1, static_cast<unsigned char>(kCipherStartKey >> 8));
}

TEST(StartupConfiguration, ReadsAllFiveParameters) {
    test::TempDir dir;
    std::string hex = HexEncode(EncryptString("p@ss'word", kCipherStartKey));
    std::string path = dir.Write("configs.ini",
                                 "[DBCONFIG]\nServer=127.0.0.1\nPort=0x0CEA\nDatabase=tessel\n"
                                 "Username=svc\nPassword=" + hex + "\n");
    ConnectionParameters p = ReadStartupConfiguration(path);
    EXPECT_EQ(p.Server, "127.0.0.1");
    EXPECT_EQ(p.Port, 3306);
    EXPECT_EQ(p.Database, "tessel");
    EXPECT_EQ(p.UserName, "svc");
    EXPECT_EQ(p.Password, "p@ss'word");
}

TEST(StartupConfiguration, MissingFileGivesDefaults) {
    test::TempDir dir;
    ConnectionParameters p = ReadStartupConfiguration(dir.File("configs.ini"));
    EXPECT_EQ(p.Server, "");
    EXPECT_EQ(p.Port, 0);
    EXPECT_EQ(p.Database, "");
    EXPECT_EQ(p.UserName, "");
    EXPECT_EQ(p.Password, "");
    EXPECT_FALSE(p.Ssl);
    EXPECT_EQ(p.SslCa, "");
    EXPECT_FALSE(p.SslVerify);
}

TEST(StartupConfiguration, TlsKeysTurnOnOnlyForOne) {
    test::TempDir dir;
    struct Case {
        const char* Value;
        bool On;
    };
    for (const Case& c : {Case{"1", true}, Case{"'1'", true}, Case{"0", false}, Case{"yes", false}, Case{"", false}}) {
        std::string path = dir.Write("configs.ini", std::string("[dbconfig]\nssl=") + c.Value + "\nSSLVerify=" +
                                                        c.Value + "\nSSLCA = /etc/tessel/db ca.pem \n");
        ConnectionParameters p = ReadStartupConfiguration(path);
        EXPECT_EQ(p.Ssl, c.On) << c.Value;
        EXPECT_EQ(p.SslVerify, c.On) << c.Value;
        EXPECT_EQ(p.SslCa, "/etc/tessel/db ca.pem");
    }
}

TEST(StartupConfiguration, BadPasswordPairFailsTheStart) {
    test::TempDir dir;
    std::string path = dir.Write("configs.ini", "[DBCONFIG]\nPassword=G1A2\n");
    try {
        ReadStartupConfiguration(path);
        FAIL() << "no error";
    } catch (const ConversionError& e) {
        EXPECT_STREQ(e.what(), "'$G1' is not a valid integer value");
    }
}

}  // namespace
}  // namespace tessel::config
