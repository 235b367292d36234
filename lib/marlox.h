/* marlox.h: libmarlox, the C client library of marlox-helper (protocol version 1). */
#ifndef MARLOX_H
#define MARLOX_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * libmarlox speaks the protocol of docs/protocol.md on the daemon's socket
 * /run/marlox/helper.sock. Each call makes a connection of its own.
 *
 *   bool running;
 *   marlox_reply reply = {0};
 *   int r = marlox_status(5000, &running, &reply);
 *   if (r == MARLOX_E_DAEMON) printf("refused: %s\n", reply.text);
 *   marlox_reply_clear(&reply);
 *
 * connect and watch give a session: poll its descriptor for input in any event loop (GLib's
 * g_unix_fd_add, Qt's QSocketNotifier, libuv, asyncio's add_reader), then call
 * marlox_session_next() until it returns -EAGAIN.
 *
 * Results. Every function that returns int returns 0 on success, or a negative number: either
 * -errno for a failure of the system (each function lists the usual ones), or one of the two
 * protocol outcomes below, which lie outside the range of errno values. The library never
 * writes to standard output or standard error, never raises a signal (sends use MSG_NOSIGNAL),
 * keeps no global state and opens every descriptor close-on-exec.
 *
 * Threads. Functions without a session may be called from any thread at the same time. A
 * session must be used by one thread at a time.
 */

/* The protocol version this header speaks. */
#define MARLOX_PROTOCOL_VERSION 1

/* The daemon answered with an error reply {"error":TEXT}: see marlox_reply / marlox_event. */
#define MARLOX_E_DAEMON (-10001)
/* The daemon's answer was not the protocol's: no reply at all, a line cut off or too long, not
 * JSON, or a reply to another command. The bytes received come along (marlox_reply.text, or
 * marlox_event.text). */
#define MARLOX_E_UNEXPECTED (-10002)

/* The daemon's error replies. A text this version does not know is MARLOX_ERROR_OTHER: later
 * daemons may add some, and a client must treat them as a failure of the request. */
typedef enum marlox_error {
    MARLOX_ERROR_NONE = 0,
    MARLOX_ERROR_UNAUTHORIZED,         /* "unauthorized": this user is not admitted */
    MARLOX_ERROR_TOO_MANY_CONNECTIONS, /* "too many connections": the user's cap (64) */
    MARLOX_ERROR_BAD_JSON,             /* "bad json" */
    MARLOX_ERROR_REQUEST_TOO_LONG,     /* "request too long": over 64 KiB */
    MARLOX_ERROR_UNKNOWN_CMD,          /* "unknown cmd": e.g. a daemon older than watch */
    MARLOX_ERROR_INVALID_FIELD,        /* "invalid field: NAME"; detail: NAME */
    MARLOX_ERROR_ALREADY_CONNECTED,    /* "already connected" */
    MARLOX_ERROR_WRITE_CONF_FAILED,    /* "write conf failed" */
    MARLOX_ERROR_SPAWN,                /* "spawn: TEXT"; detail: TEXT, the system's reason */
    MARLOX_ERROR_OTHER                 /* any other TEXT */
} marlox_error;

/* What a failed marlox_status or marlox_disconnect learnt. The caller provides the struct (set
 * it to all zeros first); the library fills it and allocates text, which marlox_reply_clear()
 * frees. */
typedef struct marlox_reply {
    marlox_error error; /* MARLOX_E_DAEMON: which reply; otherwise MARLOX_ERROR_NONE */
    char* text;         /* MARLOX_E_DAEMON: TEXT; MARLOX_E_UNEXPECTED: the bytes received,
                           without a line feed that ended them (empty: nothing came). NUL-
                           terminated; NULL for every other result */
    size_t length;      /* bytes in text, the NUL not counted (text may hold NULs) */
    const char* detail; /* MARLOX_ERROR_INVALID_FIELD: NAME; MARLOX_ERROR_SPAWN: TEXT; points
                           into text. NULL otherwise */
    bool reached;       /* the socket was connected: a failure is the connection's, not a sign
                           that the daemon is not running */
} marlox_reply;

/* Frees reply->text and sets every member to zero. reply may be NULL; clearing twice is fine. */
void marlox_reply_clear(marlox_reply* reply);

/*
 * Asks whether a tunnel is starting or running. Blocks for at most timeout_ms milliseconds
 * (negative: no limit). On success sets *running and returns 0. reply may be NULL; otherwise it
 * is filled as described at marlox_reply, and must be cleared by the caller.
 * Errors: -ENOENT, -ECONNREFUSED (the daemon is not running), -EACCES, -ETIMEDOUT, -ENOMEM,
 * another -errno of connect, send or receive, MARLOX_E_DAEMON, MARLOX_E_UNEXPECTED.
 */
int marlox_status(int timeout_ms, bool* running, marlox_reply* reply);

/*
 * Asks the daemon to end the tunnel (SIGTERM to openfortivpn), if one runs. Returns 0 once the
 * daemon has answered, not once the tunnel has ended: watch for that. Blocking, reply and
 * errors as marlox_status.
 */
int marlox_disconnect(int timeout_ms, marlox_reply* reply);

/* One connect or watch stream: a connection to the daemon, owned by the library. */
typedef struct marlox_session marlox_session;

typedef enum marlox_event_type {
    MARLOX_EVENT_LINE = 1, /* connect: one output line of the tunnel, without its line feed */
    MARLOX_EVENT_ERROR,    /* the daemon refused: error, text (TEXT) and detail */
    MARLOX_EVENT_STATE,    /* watch: one state line */
    MARLOX_EVENT_END       /* the stream has ended; for connect, the tunnel has ended */
} marlox_event_type;

typedef enum marlox_state {
    MARLOX_STATE_UNKNOWN = 0, /* a state a later daemon adds: see state_name; keep watching */
    MARLOX_STATE_IDLE,
    MARLOX_STATE_STARTING,
    MARLOX_STATE_CONNECTING,
    MARLOX_STATE_UP,
    MARLOX_STATE_STOPPING
} marlox_state;

/* Why a tunnel is stopping. */
typedef enum marlox_by {
    MARLOX_BY_NONE = 0,   /* the line has no "by" */
    MARLOX_BY_DISCONNECT, /* a disconnect, from by_uid */
    MARLOX_BY_APP,        /* the connect stream's client closed it */
    MARLOX_BY_UNKNOWN     /* a reason a later daemon adds */
} marlox_by;

/* A member a watch line does not have. */
#define MARLOX_ABSENT (-1)

/* One event of a session, filled by marlox_session_next(). Every pointer points into memory of
 * the session, valid until the next marlox_session_next() or marlox_session_free() on it. */
typedef struct marlox_event {
    marlox_event_type type;
    /* LINE: the line. ERROR: TEXT of {"error":TEXT}. STATE: the line as received, members a
     * later daemon adds included. END: the bytes of a last line the stream cut off (a watch
     * stream the daemon closed mid-line), usually empty. With MARLOX_E_UNEXPECTED: the bytes
     * that were not the protocol's. NUL-terminated; length does not count the NUL. */
    const char* text;
    size_t length;
    marlox_error error; /* ERROR: which reply */
    const char* detail; /* ERROR: NAME of invalid field, TEXT of spawn; else NULL */
    /* STATE only; a member the line lacks is MARLOX_ABSENT, or NULL. */
    marlox_state state;
    const char* state_name; /* "idle", "up", ... or the word of an unknown state */
    int64_t uid;            /* the uid whose connect started the tunnel */
    int64_t pid;            /* openfortivpn's process id */
    marlox_by by;
    int64_t by_uid;          /* the uid that sent the disconnect */
    int64_t exit_status;     /* idle: the tunnel process exited with this status */
    int64_t signal_number;   /* idle: the tunnel process was ended by this signal */
    const char* start_error; /* idle: why a reserved connect failed, e.g. "write conf failed" */
    intptr_t reserved_[8];   /* room for members a later version adds; do not use */
} marlox_event;

/*
 * Opens a connection to the daemon, blocking for at most timeout_ms (negative: no limit), and
 * returns it in *session, to be followed by marlox_session_send_connect(). An application that
 * asks its user for the password can open first, so it learns that the daemon is not running
 * before the user types anything. The caller owns the session: marlox_session_free().
 * Errors: -ENOENT, -ECONNREFUSED (the daemon is not running), -EACCES, -ETIMEDOUT, -ENOMEM.
 */
int marlox_open(int timeout_ms, marlox_session** session);

/*
 * Sends the connect request on a session from marlox_open(), blocking for at most timeout_ms.
 * host, port, username, and trusted_cert and realm unless NULL (the daemon then uses its
 * defaults), are NUL-terminated UTF-8. The ticket is ticket_length bytes of UTF-8; it is copied
 * into one buffer of the library, which is wiped (explicit_bzero) before this function returns,
 * on every path. The caller's own copy is the caller's to wipe.
 * There is no acknowledgement: a refusal arrives as the first event (MARLOX_EVENT_ERROR). A
 * daemon that refuses the user may close before it reads the request; that failure to send is
 * no error here, the refusal is read as an event.
 * Errors: -EINVAL (a NULL argument, a value that is not UTF-8, or a session that already sent),
 * -ETIMEDOUT, -ENOMEM, another -errno of send.
 */
int marlox_session_send_connect(marlox_session* session, const char* host, const char* port,
                                const char* username, const char* ticket, size_t ticket_length,
                                const char* trusted_cert, const char* realm, int timeout_ms);

/* marlox_open() and marlox_session_send_connect() in one call. *session is set only on
 * success; errors of both. */
int marlox_connect(const char* host, const char* port, const char* username, const char* ticket,
                   size_t ticket_length, const char* trusted_cert, const char* realm,
                   int timeout_ms, marlox_session** session);

/* Opens a watch stream, blocking for at most timeout_ms to connect and send: its first event is
 * the current state, then one comes per change. Ownership and errors as marlox_open(). */
int marlox_watch(int timeout_ms, marlox_session** session);

/* The descriptor to poll for input (POLLIN) before calling marlox_session_next(). It belongs to
 * the session: do not read it, close it or change its flags. It is non-blocking. */
int marlox_session_fd(const marlox_session* session);

/*
 * The next event, without ever blocking. Returns 0 with *event filled, or -EAGAIN when nothing
 * is ready yet: poll the descriptor again. Call it until -EAGAIN after each wake-up, since one
 * read may bring several lines. After MARLOX_EVENT_ERROR or MARLOX_EVENT_END it returns END
 * again.
 * A connect stream's first line is a daemon error only when it is byte for byte one of the
 * error replies of protocol version 1; every other line is output. A watch line that is an
 * error reply is an error wherever it stands.
 * Errors: -EAGAIN, MARLOX_E_UNEXPECTED (the stream ended before its first byte, a line longer
 * than the daemon sends, a watch line that is not one, or a connect stream that broke inside a
 * line), -ENOMEM, another -errno of receive (the connection broke). After an error other than
 * -EAGAIN, the session only returns END.
 */
int marlox_session_next(marlox_session* session, marlox_event* event);

/* Connect streams: asks the daemon to end the tunnel by shutting down the sending side of the
 * connection; the remaining lines and the end still arrive. Errors: -errno of shutdown. */
int marlox_session_end_tunnel(marlox_session* session);

/* Closes the connection and frees the session (NULL is fine). For a connect stream, closing it
 * makes the daemon end the tunnel. */
void marlox_session_free(marlox_session* session);

#ifdef __cplusplus
}
#endif

#endif /* MARLOX_H */
