// quillon-sendmail against aiosmtpd: exit status and what arrives.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include "mail_test_support.h"

namespace quillon::mail::test {
namespace {

int runTool(const std::vector<std::string> &args) {
    std::string cmd = QUILLON_SENDMAIL;
    for (const std::string &a : args) {
        cmd += " '" + a + "'";
    }
    cmd += " 2>/dev/null";
    int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SendmailTool, ExitsZeroOnlyWhenTheHostAcceptedTheMessage) {
    SmtpServer server;
    ASSERT_TRUE(server.ok());
    TempDir tmp;
    auto file = tmp.file("page.APF", randomBytes(1000, 7));
    EXPECT_EQ(runTool({"--host", "127.0.0.1", "--port", server.portText(), "--from", "a@x", "--to",
                       "b@x", "--subject", "check", "--line", "hello", file.string()}),
              0);
    auto msgs = server.messages();
    ASSERT_EQ(msgs.size(), 1u);
    auto kv = checkMime(msgs[0], tmp.path());
    EXPECT_EQ(lookup(kv, "subject"), "check");
    EXPECT_EQ(readFile(tmp.path() / "part1.bin"), readFile(file));

    EXPECT_EQ(runTool({"--host", "127.0.0.1", "--port", server.portText(), "--from", "a@x", "--to",
                       "refuse@x"}),
              1);
    EXPECT_EQ(runTool({"--host", "127.0.0.1", "--port", "1", "--from", "a@x", "--to", "b@x"}), 1);
    EXPECT_EQ(runTool({"--host", "127.0.0.1", "--port", server.portText(), "--from", "a@x", "--to",
                       "b@x", (tmp.path() / "missing").string()}),
              1);
    EXPECT_EQ(server.messages().size(), 1u);
}

} // namespace
} // namespace quillon::mail::test
