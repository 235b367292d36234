// The accept loop both reference servers share: one detached thread per connection.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "os/fs.h"
#include "os/process.h"
#include "os/socket.h"
#include "os/thread.h"

namespace marlox::bench {

// A reference server's main(): takes the socket path as its one argument, listens there
// (replacing a leftover socket file) and runs serve(UniqueFd) for every accepted connection on a
// detached thread with the daemon's explicit 2 MiB stack, as the daemon itself does. Never
// returns; exits with status 2 on a wrong command line and 1 if it cannot listen.
template <class Serve>
[[noreturn]] void serve_forever(int argc, char** argv, Serve serve) {
    if (argc != 2) {
        (void)std::fprintf(stderr, "usage: %s SOCKET_PATH\n", argv[0]);
        std::exit(2);
    }
    const std::string path = argv[1];
    (void)os::ignore_sigpipe();
    (void)os::remove_file(path);
    auto listener = os::listen_unix(path);
    if (!listener) {
        (void)std::fprintf(stderr, "listen on %s: %s\n", path.c_str(),
                           os::describe(listener.error()).c_str());
        std::exit(1);
    }
    (void)os::set_mode(path, 0666);
    for (;;) {
        auto conn = os::accept_connection(listener->get());
        if (!conn) continue;
        (void)os::start_detached(
            [conn = std::move(*conn), serve]() mutable noexcept { serve(std::move(conn)); });
    }
}

}  // namespace marlox::bench
