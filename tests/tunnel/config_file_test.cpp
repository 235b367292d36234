// Tests of the configuration text, the unsafe-value check and the exclusive writer.
#include "tunnel/config_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace marlox::tunnel {
namespace {

protocol::Request parse(std::string_view json) {
    auto request = protocol::Request::parse(json);
    EXPECT_TRUE(request.has_value()) << json;
    return std::move(*request);
}

TEST(ConfigFileTest, TextCarriesTheFiveMembersInOrder) {
    struct Case {
        std::string_view json;
        std::string_view text;
    };
    const Case cases[] = {
        {R"({"host":"vpn.example","port":"443","username":"ann","ticket":"s3cr=t",)"
         R"("trusted_cert":"ab:cd"})",
         "host = vpn.example\nport = 443\nusername = ann\npassword = s3cr=t\n"
         "trusted-cert = ab:cd\n"},
        {"{}", "host = \nport = \nusername = \npassword = \ntrusted-cert = \n"},
        // Only strings count: a numeric port and other types give empty values.
        {R"({"port":443,"host":null,"username":["x"],"ticket":{},"trusted_cert":true})",
         "host = \nport = \nusername = \npassword = \ntrusted-cert = \n"},
        {R"(["host","x"])", "host = \nport = \nusername = \npassword = \ntrusted-cert = \n"},
        // Decoded exactly: escapes resolved, spaces and tabs kept.
        {R"({"host":" h\t\u00e9 ","ticket":"a\"b\\c"})",
         "host =  h\t\xC3\xA9 \nport = \nusername = \npassword = a\"b\\c\ntrusted-cert = \n"},
    };
    for (const Case& c : cases) EXPECT_EQ(config_text(parse(c.json)), c.text) << c.json;
}

// "name":"xx...x" with a value of that many bytes.
std::string sized_member(std::string_view name, std::size_t bytes) {
    return "\"" + std::string(name) + "\":\"" + std::string(bytes, 'x') + "\"";
}

TEST(ConfigFileTest, UnsafeFieldIsTheFirstTooLongOrHoldingALineBreakOrNulOrATrimmableTicket) {
    struct Case {
        std::string_view json;
        std::optional<std::string_view> field;
    };
    const std::string at_limits = "{" + sized_member("host", 253) + "," +
                                  sized_member("username", 64) + "," + sized_member("ticket", 256) +
                                  "," + sized_member("realm", 63) + "}";
    const std::string long_host = "{" + sized_member("host", 254) + "}";
    const std::string long_realm = "{" + sized_member("realm", 64) + "}";
    const std::string long_realm_and_cert =
        "{" + sized_member("realm", 64) + R"(,"trusted_cert":"\n"})";
    const Case cases[] = {
        // openfortivpn would cut a value one byte longer than it keeps; the realm comes last.
        {at_limits, std::nullopt},
        {long_host, "host"},
        {long_realm, "realm"},
        {long_realm_and_cert, "trusted_cert"},
        {R"({"host":"a","port":"1","username":"u","ticket":"t","trusted_cert":"c"})", std::nullopt},
        {R"({"host":"a\nb"})", "host"},
        {R"({"port":"1\r"})", "port"},
        {R"({"username":"\u0000"})", "username"},
        {R"({"ticket":"x\ny"})", "ticket"},
        {R"({"trusted_cert":"\r\n"})", "trusted_cert"},
        // The first in file order wins, whatever the order in the request.
        {R"({"trusted_cert":"\n","ticket":"\n","username":"\n"})", "username"},
        {R"({"ticket":"\r","port":"\u0000"})", "port"},
        // A ticket openfortivpn would trim at either end; white space inside is kept.
        {R"({"ticket":" pw"})", "ticket"},
        {R"({"ticket":"pw "})", "ticket"},
        {R"({"ticket":"\tpw"})", "ticket"},
        {R"({"ticket":"pw\u000b"})", "ticket"},
        {R"({"ticket":"\fpw"})", "ticket"},
        {R"({"ticket":"p w\tx\u000b\fy"})", std::nullopt},
        {R"({"ticket":" ","username":"\n"})", "username"},
        {R"({"ticket":"pw ","trusted_cert":"\n"})", "ticket"},
        // Other control characters and other members are not this check's business.
        {R"({"host":"a\tb\u001b","realm":"\n","cmd":"\u0000"})", std::nullopt},
        {R"({"host":" h ","port":"\t1","username":"u\f","trusted_cert":" c"})", std::nullopt},
        {R"({"host":["\n"]})", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(find_unsafe_field(parse(c.json)), c.field) << c.json;
}

class ConfigWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir_template[] = "/tmp/marlox-config-XXXXXX";
        ASSERT_NE(::mkdtemp(dir_template), nullptr);
        dir_ = dir_template;
        path_ = dir_ / "of.conf";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    static std::string read(const std::filesystem::path& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static struct stat link_status(const std::filesystem::path& path) {
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        return st;
    }

    std::filesystem::path dir_;
    std::filesystem::path path_;
};

TEST_F(ConfigWriterTest, NewFileIsPrivate) {
    const mode_t old_umask = ::umask(0);
    const auto written = write_config(path_, "host = x\n");
    ::umask(old_umask);
    ASSERT_TRUE(written);
    EXPECT_EQ(read(path_), "host = x\n");
    EXPECT_EQ(link_status(path_).st_mode & 07777, 0600u);
}

TEST_F(ConfigWriterTest, SymlinkAtPathIsReplacedNotFollowed) {
    const auto victim = dir_ / "victim";
    std::ofstream(victim) << "precious\n";
    std::filesystem::create_symlink(victim, path_);

    ASSERT_TRUE(write_config(path_, "host = x\n"));
    EXPECT_EQ(read(victim), "precious\n");
    const struct stat st = link_status(path_);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0077, 0u);
    EXPECT_EQ(read(path_), "host = x\n");
}

TEST_F(ConfigWriterTest, ExistingFileIsReplacedByANewPrivateOne) {
    std::ofstream(path_) << "an older and much longer content than the new one\n";
    ASSERT_EQ(::chmod(path_.c_str(), 0644), 0);
    const ino_t old_inode = link_status(path_).st_ino;
    // Keep the old inode alive so the new file cannot get its number by chance.
    const auto kept = dir_ / "kept";
    std::filesystem::create_hard_link(path_, kept);

    ASSERT_TRUE(write_config(path_, "new\n"));
    const struct stat st = link_status(path_);
    EXPECT_NE(st.st_ino, old_inode);
    EXPECT_EQ(st.st_mode & 0077, 0u);
    EXPECT_EQ(read(path_), "new\n");
    EXPECT_EQ(read(kept), "an older and much longer content than the new one\n");
}

TEST_F(ConfigWriterTest, DirectoryAtPathIsAnError) {
    std::filesystem::create_directory(path_);
    EXPECT_FALSE(write_config(path_, "host = x\n"));
    EXPECT_TRUE(std::filesystem::is_directory(path_));
}

}  // namespace
}  // namespace marlox::tunnel
