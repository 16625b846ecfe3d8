// Line-level rules of the client that need no server: dates, base64 lines, header safety,
// status codes.

#include <gtest/gtest.h>

#include <cstdio>

#include "mail/smtp_client.h"
#include "mail/smtp_client_p.h"
#include "mail_test_support.h"

namespace quillon::mail::test {
namespace {

TEST(SmtpFormat, DateCarriesEnglishNamesAndANumericZone) {
    platform::LocalTime t;
    t.year = 1999;
    t.month = 6;
    t.day = 7;
    t.hour = 9;
    t.minute = 5;
    t.second = 3;
    t.weekday = 1;
    t.utcOffset = 7200;
    EXPECT_EQ(detail::DateHeaderValue(t), "Mon, 7 Jun 1999 09:05:03 +0200");
    t.utcOffset = -(3 * 3600 + 30 * 60);
    t.month = 12;
    t.day = 31;
    t.weekday = 5;
    EXPECT_EQ(detail::DateHeaderValue(t), "Fri, 31 Dec 1999 09:05:03 -0330");
}

TEST(SmtpFormat, Base64LinesFollowRfc4648Vectors) {
    TempDir tmp;
    struct Row {
        std::string in;
        std::string out;
    } rows[] = {{"", ""},
                {"f", "Zg=="},
                {"fo", "Zm8="},
                {"foo", "Zm9v"},
                {"foob", "Zm9vYg=="},
                {"fooba", "Zm9vYmE="},
                {"foobar", "Zm9vYmFy"}};
    for (const Row &r : rows) {
        auto p = tmp.file("v", r.in);
        std::FILE *f = std::fopen(p.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        std::string line;
        bool eof = false;
        uint64_t count = 0;
        ASSERT_TRUE(TSmtpMimeClient::EncodeLine(f, line, eof, count));
        EXPECT_EQ(line, r.out) << "input '" << r.in << "'";
        EXPECT_TRUE(eof);
        EXPECT_EQ(count, r.in.size());
        std::fclose(f);
    }
    // 46 bytes: one full line of 60 characters, then one of 4, then the end.
    auto p = tmp.file("v46", std::string(46, '\xff'));
    std::FILE *f = std::fopen(p.c_str(), "rb");
    std::string line;
    bool eof = false;
    uint64_t count = 0;
    ASSERT_TRUE(TSmtpMimeClient::EncodeLine(f, line, eof, count));
    EXPECT_EQ(line, std::string(60, '/'));
    EXPECT_FALSE(eof);
    ASSERT_TRUE(TSmtpMimeClient::EncodeLine(f, line, eof, count));
    EXPECT_EQ(line, "/w==");
    EXPECT_TRUE(eof);
    EXPECT_EQ(count, 46u);
    std::fclose(f);
}

TEST(SmtpFormat, HeaderLinesKeepFoldsAndLoseOtherBreaks) {
    struct Row {
        const char *in;
        const char *out;
    } rows[] = {
        {"Content-Type: multipart/mixed;\r\n\tboundary=\"b\"",
         "Content-Type: multipart/mixed;\r\n\tboundary=\"b\""},
        {"Subject: a\r\nBcc: x", "Subject: a  Bcc: x"},
        {"Subject: a\nBcc: x", "Subject: a Bcc: x"},
        {"Subject: a\rBcc: x", "Subject: a Bcc: x"},
        {"Subject: a\r\n", "Subject: a  "},
        {"Subject: a\r\n \r\nB: c", "Subject: a\r\n   B: c"},
    };
    for (const Row &r : rows) {
        EXPECT_EQ(detail::SafeHeaderLine(r.in), r.out);
    }
    EXPECT_EQ(SingleLine("a\r\nb\nc\r"), "a  b c ");
}

TEST(SmtpFormat, StatusCodesAndContinuations) {
    struct Row {
        const char *line;
        int code;
        bool cont;
    } rows[] = {
        {"250 ok", 250, false},
        {"250-first", 250, true},
        {" \t354 go", 354, false},
        {"220", 220, false},
        {"hello", 0, false},
        {"-5", -5, false},
        {"99999999999 x", 1000000, false},
    };
    for (const Row &r : rows) {
        bool cont = false;
        EXPECT_EQ(TSmtpClientBase::ParseStatusCode(r.line, cont), r.code) << r.line;
        EXPECT_EQ(cont, r.cont) << r.line;
    }
}

} // namespace
} // namespace quillon::mail::test
