// Reading and writing the fake openfortivpn's directory.
#include "support/fake_tunnel.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace marlox::support {
namespace {

std::string path_of(std::string_view name) { return FakeTunnel::kDir + "/" + std::string(name); }

}  // namespace

FakeTunnel::FakeTunnel() {
    std::filesystem::remove_all(kDir);
    std::filesystem::create_directories(kDir);
}

void FakeTunnel::write_script(std::string_view host, std::string_view script) const {
    std::ofstream(path_of("script-" + std::string(host)), std::ios::binary) << script;
}

bool FakeTunnel::has(std::string_view name) const { return std::filesystem::exists(path_of(name)); }

bool FakeTunnel::wait_for(std::string_view name, milliseconds timeout) const {
    const Deadline deadline(timeout);
    while (!has(name)) {
        if (deadline.expired()) return false;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

void FakeTunnel::forget(std::string_view name) const {
    std::error_code ignored;
    std::filesystem::remove(path_of(name), ignored);
}

std::optional<std::string> FakeTunnel::read(std::string_view name) const {
    std::ifstream in(path_of(name), std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> FakeTunnel::argv() const {
    std::vector<std::string> args;
    std::istringstream recorded(read("argv").value_or(""));
    for (std::string arg; std::getline(recorded, arg, '\0');) args.push_back(arg);
    return args;
}

std::vector<pid_t> FakeTunnel::starts() const {
    std::vector<pid_t> pids;
    std::istringstream recorded(read("starts").value_or(""));
    for (pid_t pid = 0; recorded >> pid;) pids.push_back(pid);
    return pids;
}

}  // namespace marlox::support
