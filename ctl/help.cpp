// marlox-ctl --help, with the exit statuses taken from the one table that defines them.
#include "ctl/help.h"

#include <string_view>

#include "ctl/exit_status.h"

namespace marlox::ctl {
namespace {

constexpr std::string_view kUsage = R"usage(Usage: marlox-ctl status [--json]
       marlox-ctl watch [--json]
       marlox-ctl disconnect [--json]
       marlox-ctl connect --host HOST --port PORT --username USER
                          [--realm REALM] [--trusted-cert DIGEST] [--json]
       marlox-ctl --help | --version

Controls the VPN tunnel of marlox-helper through /run/marlox/helper.sock.

Commands:
  status      print "running" or "not running"; exit status 0 either way
  watch       print the tunnel's state, then each change as it happens, e.g.
              "up (pid 1234, uid 1000)", "stopping: disconnect from uid 1001",
              "ended: exit status 1"; returns when the daemon closes the stream
  disconnect  ask the daemon to end the running tunnel (it sends openfortivpn
              SIGTERM); succeeds whether or not a tunnel runs, and returns at once
  connect     start the tunnel and print each line of openfortivpn's output as
              it arrives; returns when the tunnel has ended

Options:
  --json                 print one JSON object a line: status and disconnect
                         the daemon's reply line as it came ({"running":true},
                         {"ok":true}), connect each output line of the tunnel
                         as {"line":"TEXT"}, watch the state lines as they come
  --host HOST            VPN gateway host name or address
  --port PORT            VPN gateway port
  --username USER        user name at the gateway
  --realm REALM          authentication realm; without it the daemon uses "radius"
  --trusted-cert DIGEST  the gateway certificate's SHA-256 digest (of its DER
                         form, 64 lower-case hex digits), trusted even if no
                         certificate authority vouches for it
  -h, --help             show this help and exit
  --version              show the version and exit
Every option also takes the form --name=VALUE. Values must be UTF-8.

The ticket (the password) is never an argument, since every user can read the
arguments of every process. connect reads it from standard input: the first
line, without its line feed (and a carriage return before it). When standard
input is a terminal, it asks for the password without echo.

When standard output is a terminal, connect shows the control characters in
openfortivpn's output as escapes instead of letting the terminal obey them:
\xHH for ESC (\x1b) and the other C0 controls but tab and line feed, \x7f for
DEL, \u0080 to \u009f for the C1 controls, and \\ for a backslash itself.
Pipes and files get the output byte for byte.

Ctrl-C, SIGTERM or SIGHUP during connect closes the connection's sending side:
the daemon then ends the tunnel, marlox-ctl prints openfortivpn's last lines,
and ends by that same signal. A second signal ends marlox-ctl at once. At the
password prompt, every signal that ends or stops marlox-ctl turns echo back on
first; after Ctrl-Z it asks again once continued.

An error reply is recognised only as the first line, and only when it matches
one of the daemon's replies exactly; connect has no other acknowledgement, so a
first output line of openfortivpn that read exactly like an error reply would
be taken as one.

Exit status:
)usage";

// Not an exit status of its own but the shell's report of the signal that ended connect.
constexpr std::string_view kSignalStatus =
    "128+N ended by signal N during connect, after the tunnel was ended\n"
    "      (130 after Ctrl-C)\n";

}  // namespace

std::string help_text() {
    std::string text(kUsage);
    for (const ExitStatusDoc& doc : kExitStatusDocs) {
        const std::string number = std::to_string(code(doc.status));
        text += std::string(4 - number.size(), ' ') + number + "  ";
        for (const char c : doc.meaning) {
            if (c == '\n') {
                text += "\n      ";  // continued under the start of the meaning
            } else {
                text += c;
            }
        }
        text += '\n';
    }
    text += kSignalStatus;
    return text;
}

}  // namespace marlox::ctl
