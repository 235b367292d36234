// unshare(CLONE_NEWNET) and the loopback interface brought up with SIOCSIFFLAGS.
#include "loopback_only.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "os/unique_fd.h"

namespace marlox::e2e {

std::string enter_loopback_only_network() {
    if (::unshare(CLONE_NEWNET) < 0) {
        return std::string("unshare(CLONE_NEWNET): ") + strerrordesc_np(errno);
    }
    os::UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock.valid()) return std::string("socket: ") + strerrordesc_np(errno);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(sock.get(), SIOCGIFFLAGS, &request) < 0) {
        return std::string("SIOCGIFFLAGS lo: ") + strerrordesc_np(errno);
    }
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (::ioctl(sock.get(), SIOCSIFFLAGS, &request) < 0) {
        return std::string("SIOCSIFFLAGS lo: ") + strerrordesc_np(errno);
    }
    return {};
}

std::string list_interfaces() {
    std::ifstream dev("/proc/self/net/dev");
    std::string line;
    std::string names;
    for (int number = 0; std::getline(dev, line); ++number) {
        if (number < 2) continue;  // two header lines
        std::istringstream fields(line);
        std::string name;
        fields >> name;
        if (!name.empty() && name.back() == ':') name.pop_back();
        names += (names.empty() ? "" : " ") + name;
    }
    return names;
}

}  // namespace marlox::e2e
