// The real openfortivpn, started by the real daemon on marlox-ctl's request, against a stand-in
// gateway on 127.0.0.1: it must read host, port, credentials and the trusted certificate from
// the file the daemon wrote. Everything runs in a network namespace with only loopback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ctl_process.h"
#include "loopback_only.h"
#include "program.h"
#include "support/client.h"
#include "support/daemon.h"
#include "support/integration_test.h"

namespace marlox::e2e {

extern std::string network_problem;

namespace {

using ctltest::describe;
using ctltest::run_ctl;

const std::string kConfigPath = "/run/marlox/of.conf";
constexpr milliseconds kTunnelTimeout{30000};

// The first of dirs holding an executable called name, or "".
std::string find_program(const std::string& name, std::initializer_list<const char*> dirs) {
    for (const char* dir : dirs) {
        std::string path = std::string(dir) + "/" + name;
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    return {};
}

// "SHA256 Fingerprint=AB:CD:..." as openfortivpn writes digests: 64 lower-case hex digits.
std::string digest_from_fingerprint(const std::string& fingerprint) {
    std::string digest;
    for (const char c : fingerprint.substr(fingerprint.find('=') + 1)) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digest += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return digest;
}

std::size_t count(const std::string& text, const std::string& needle) {
    std::size_t found = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++found;
    }
    return found;
}

class OpenfortivpnTest : public support::IntegrationTest {
protected:
    void SetUp() override {
        IntegrationTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        openfortivpn_ = find_program("openfortivpn", {"/usr/bin", "/usr/sbin"});
        openssl_ = find_program("openssl", {"/usr/bin"});
        // The system's python3, whatever version manager a developer has first on PATH.
        python_ = find_program("python3", {"/usr/bin"});
        if (!require(network_problem.empty(), "no loopback-only network: " + network_problem) ||
            !require(!openfortivpn_.empty(), "openfortivpn is not installed (scripts/setup)") ||
            !require(!openssl_.empty(), "openssl is not installed (scripts/setup)") ||
            !require(!python_.empty(), "/usr/bin/python3 is not installed (scripts/setup)")) {
            return;
        }
        ASSERT_NO_FATAL_FAILURE(make_certificate());
        ASSERT_NO_FATAL_FAILURE(start_gateway());
        support::DaemonOptions options;
        options.path_variable = "/usr/sbin:/usr/bin:/sbin:/bin";  // the real openfortivpn
        auto daemon = support::Daemon::start(options);
        ASSERT_TRUE(daemon) << daemon.error();
        daemon_.emplace(std::move(*daemon));
    }

    void make_certificate() {
        dir_ = "/run/marlox-e2e";
        std::filesystem::create_directories(dir_);
        // A name of this run only: seen in openfortivpn's output, it proves that openfortivpn
        // talked to this gateway, at the host and port the daemon's file named.
        std::random_device random;
        common_name_ = "marlox-e2e-" + std::to_string(random());
        auto made = run_program({openssl_, "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                                 "-keyout", dir_ + "/key.pem", "-out", dir_ + "/cert.pem", "-days",
                                 "2", "-subj", "/CN=" + common_name_},
                                milliseconds(20000));
        ASSERT_TRUE(made) << made.error();
        auto fingerprint = run_program(
            {openssl_, "x509", "-in", dir_ + "/cert.pem", "-noout", "-fingerprint", "-sha256"});
        ASSERT_TRUE(fingerprint) << fingerprint.error();
        digest_ = digest_from_fingerprint(*fingerprint);
        ASSERT_EQ(digest_.size(), 64u) << *fingerprint;
    }

    void start_gateway() {
        auto gateway =
            Program::start({python_, MARLOX_GATEWAY_SCRIPT, dir_ + "/cert.pem", dir_ + "/key.pem"});
        ASSERT_TRUE(gateway) << gateway.error();
        gateway_.emplace(std::move(*gateway));
        ASSERT_TRUE(gateway_->wait_out("\n", milliseconds(10000))) << gateway_->err();
        const std::string ready = gateway_->out();
        ASSERT_TRUE(ready.starts_with("ready ")) << ready;
        port_ = ready.substr(6, ready.find('\n') - 6);
    }

    // marlox-ctl connect to the gateway with trusted_cert, to its end.
    ctltest::CtlResult connect_with(const std::string& trusted_cert,
                                    const std::string& username = "alice",
                                    const std::string& ticket = "e2e-ticket",
                                    std::optional<std::string> realm = std::nullopt) {
        std::vector<std::string> args = {"connect",   "--host",     "127.0.0.1", "--port",
                                         port_,       "--username", username,    "--trusted-cert",
                                         trusted_cert};
        if (realm) args.insert(args.end(), {"--realm", *realm});
        auto run = run_ctl({args}, ticket + "\n", kTunnelTimeout);
        if (!run) {
            ADD_FAILURE() << run.error();
            return {};
        }
        return *run;
    }

    // After a tunnel: nothing runs and the password file is gone.
    void expect_nothing_left() {
        auto status = run_ctl({{"status"}});
        ASSERT_TRUE(status) << status.error();
        EXPECT_EQ(status->out, "not running\n");
        EXPECT_FALSE(std::filesystem::exists(kConfigPath));
    }

    std::string logins() const { return gateway_ ? gateway_->err() : ""; }

    std::string openfortivpn_;
    std::string openssl_;
    std::string python_;
    std::string dir_;
    std::string common_name_;
    std::string digest_;
    std::string port_;
    std::optional<Program> gateway_;
    std::optional<support::Daemon> daemon_;
};

TEST_F(OpenfortivpnTest, TheNetworkHasOnlyLoopback) { EXPECT_EQ(list_interfaces(), "lo"); }

TEST_F(OpenfortivpnTest, RightDigestGetsPastCertificateValidationToTheLogin) {
    const auto run = connect_with(digest_);
    EXPECT_EQ(describe(run.status), "exit 0") << run.err;
    EXPECT_EQ(run.err, "");
    // openfortivpn's own words: connected over TLS to host:port with the certificate trusted,
    // then refused at the login.
    EXPECT_NE(run.out.find("INFO:   Connected to gateway.\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("ERROR:  Could not authenticate to gateway."), std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("certificate validation failed"), std::string::npos) << run.out;
    // The user name, the ticket as password and the default realm reached the gateway.
    EXPECT_EQ(logins(), "login username=alice&credential=e2e-ticket&realm=radius&ajax=1\n");
    expect_nothing_left();
}

// The longest user name, ticket and realm the daemon accepts, and one byte more of each, which
// it refuses: openfortivpn passes the first on whole and cuts the second to the first.
const std::string kLongestUsername(64, 'u');
const std::string kLongestTicket(256, 't');
const std::string kLongestRealm(63, 'r');
const std::string kLongestLogin = "login username=" + kLongestUsername +
                                  "&credential=" + kLongestTicket + "&realm=" + kLongestRealm +
                                  "&ajax=1\n";

TEST_F(OpenfortivpnTest, LongestValuesTheDaemonAcceptsReachTheGatewayWhole) {
    const auto run = connect_with(digest_, kLongestUsername, kLongestTicket, kLongestRealm);
    EXPECT_EQ(describe(run.status), "exit 0") << run.err;
    EXPECT_EQ(logins(), kLongestLogin);
    expect_nothing_left();
}

TEST_F(OpenfortivpnTest, OpenfortivpnCutsOneByteMoreToWhatTheDaemonAccepts) {
    // Started directly: the daemon would refuse these values.
    const std::string config = dir_ + "/longer.conf";
    std::ofstream(config) << "host = 127.0.0.1\nport = " << port_
                          << "\nusername = " << kLongestUsername
                          << "u\npassword = " << kLongestTicket << "t\ntrusted-cert = " << digest_
                          << "\n";
    auto openfortivpn =
        Program::start({openfortivpn_, "-c", config, "--realm", kLongestRealm + "r"});
    ASSERT_TRUE(openfortivpn) << openfortivpn.error();
    EXPECT_TRUE(openfortivpn->wait_exit(kTunnelTimeout)) << openfortivpn->out();
    EXPECT_EQ(logins(), kLongestLogin) << openfortivpn->out() << openfortivpn->err();
}

TEST_F(OpenfortivpnTest, WrongDigestIsRejectedByOpenfortivpn) {
    const auto run = connect_with(std::string(64, '0'));
    EXPECT_EQ(describe(run.status), "exit 0") << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("ERROR:  Gateway certificate validation failed, and the certificate "
                           "digest is not in the local whitelist."),
              std::string::npos)
        << run.out;
    // It saw this run's certificate at the given host and port, and names its real digest.
    EXPECT_NE(run.out.find("CN=" + common_name_ + "\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("--trusted-cert " + digest_ + "\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("Connected to gateway."), std::string::npos) << run.out;
    EXPECT_EQ(count(logins(), "login "), 0u) << logins();
    expect_nothing_left();
}

// A TCP port on 127.0.0.1 that takes connections (the kernel does) and never answers, so a client
// that connects waits there; the port number comes back in port.
os::UniqueFd silent_listener(std::string& port) {
    os::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 ||
        ::listen(fd.get(), 4) < 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &length) < 0) {
        return {};
    }
    port = std::to_string(ntohs(addr.sin_port));
    return fd;
}

// The daemon gives openfortivpn the socket where it reports readiness, read here from the
// environment of the running process while it waits for a gateway that never answers.
TEST_F(OpenfortivpnTest, RunningOpenfortivpnHasTheDaemonsReadinessSocket) {
    std::string port;
    const os::UniqueFd gateway = silent_listener(port);
    ASSERT_TRUE(gateway.valid());
    auto watcher = support::Client::connect();
    ASSERT_TRUE(watcher) << watcher.error();
    ASSERT_TRUE(watcher->send("{\"cmd\":\"watch\"}\n"));
    ASSERT_EQ(watcher->read_line(), "{\"state\":\"idle\"}\n");
    auto client = support::Client::connect();
    ASSERT_TRUE(client) << client.error();
    ASSERT_TRUE(
        client->send("{\"cmd\":\"connect\",\"host\":\"127.0.0.1\",\"port\":\"" + port +
                     "\",\"username\":\"alice\",\"ticket\":\"e2e-ticket\",\"trusted_cert\":\"" +
                     digest_ + "\"}\n"));
    ASSERT_EQ(watcher->read_line(), "{\"state\":\"starting\",\"uid\":0}\n");
    const std::string connecting = watcher->read_line().value_or("");
    const std::size_t at = connecting.find("\"pid\":");
    ASSERT_NE(at, std::string::npos) << connecting;
    const std::string pid = connecting.substr(at + 6, connecting.find('}') - at - 6);

    std::ifstream environ("/proc/" + pid + "/environ", std::ios::binary);
    std::vector<std::string> notify_sockets;
    for (std::string entry; std::getline(environ, entry, '\0');) {
        if (entry.starts_with("NOTIFY_SOCKET=")) notify_sockets.push_back(entry);
    }
    EXPECT_EQ(notify_sockets, std::vector<std::string>{"NOTIFY_SOCKET=/run/marlox/notify"});

    client->close();  // the daemon ends the tunnel
    EXPECT_EQ(watcher->read_line(milliseconds(10000)),
              "{\"state\":\"stopping\",\"uid\":0,\"pid\":" + pid + ",\"by\":\"app\"}\n");
    EXPECT_TRUE(
        watcher->read_line(milliseconds(10000)).value_or("").starts_with("{\"state\":\"idle\","));
}

}  // namespace
}  // namespace marlox::e2e
