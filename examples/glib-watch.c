/* glib-watch.c: shows the tunnel states of marlox-helper as they change, on the GLib main loop.
 *
 *   cc glib-watch.c $(pkg-config --cflags --libs marlox glib-2.0) -o glib-watch
 *   ./glib-watch        # until the daemon closes the stream (Ctrl-C ends it sooner)
 *   ./glib-watch 3      # the first three states only
 *
 * The session's descriptor goes to g_unix_fd_add(); each time it is readable, every event that
 * is ready is taken with marlox_session_next() until it says -EAGAIN. No thread is needed. */
#include <errno.h>
#include <glib-unix.h>
#include <glib.h>
#include <inttypes.h>
#include <marlox.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct app {
    GMainLoop* loop;
    marlox_session* session;
    long left; /* states still to show; negative: no limit */
    int status;
};

static void print_member(const char* name, int64_t value) {
    if (value != MARLOX_ABSENT) printf(" %s=%" PRId64, name, value);
}

static void show_state(const marlox_event* event) {
    static const char* const by_words[] = {NULL, "disconnect", "app", "other"};
    printf("%s", event->state == MARLOX_STATE_UNKNOWN ? "unknown state" : event->state_name);
    if (event->state == MARLOX_STATE_UNKNOWN) printf(" '%s'", event->state_name);
    print_member("uid", event->uid);
    print_member("pid", event->pid);
    if (event->by != MARLOX_BY_NONE) printf(" by=%s", by_words[event->by]);
    print_member("by_uid", event->by_uid);
    print_member("exit", event->exit_status);
    print_member("signal", event->signal_number);
    if (event->start_error != NULL) printf(" error='%s'", event->start_error);
    printf("\n");
    fflush(stdout);
}

/* Stops the loop; the source that called it is removed by returning G_SOURCE_REMOVE. */
static gboolean finish(struct app* app, int status) {
    app->status = status;
    g_main_loop_quit(app->loop);
    return G_SOURCE_REMOVE;
}

static gboolean on_readable(gint fd, GIOCondition condition, gpointer data) {
    struct app* app = data;
    marlox_event event;
    int result;
    (void)fd;
    (void)condition;
    while ((result = marlox_session_next(app->session, &event)) == 0) {
        switch (event.type) {
            case MARLOX_EVENT_STATE:
                show_state(&event);
                if (app->left > 0 && --app->left == 0) return finish(app, 0);
                break;
            case MARLOX_EVENT_ERROR:
                fprintf(stderr, "glib-watch: the daemon refused: %s\n", event.text);
                return finish(app, 1);
            default:
                printf("the daemon closed the stream\n");
                return finish(app, 0);
        }
    }
    if (result == -EAGAIN) return G_SOURCE_CONTINUE;
    if (result == MARLOX_E_UNEXPECTED) {
        fprintf(stderr, "glib-watch: not a watch line: %s\n", event.text);
    } else {
        fprintf(stderr, "glib-watch: connection lost: %s\n", strerror(-result));
    }
    return finish(app, 1);
}

static gboolean on_interrupt(gpointer data) { return finish(data, 0); }

int main(int argc, char** argv) {
    struct app app = {NULL, NULL, argc > 1 ? strtol(argv[1], NULL, 10) : -1, 0};
    int result = marlox_watch(5000, &app.session);
    if (result != 0) {
        fprintf(stderr, "glib-watch: cannot watch: %s\n",
                result == -ENOENT || result == -ECONNREFUSED ? "the daemon is not running"
                                                             : strerror(-result));
        return 1;
    }
    app.loop = g_main_loop_new(NULL, FALSE);
    g_unix_fd_add(marlox_session_fd(app.session), G_IO_IN, on_readable, &app);
    g_unix_signal_add(SIGINT, on_interrupt, &app);
    g_main_loop_run(app.loop);
    g_main_loop_unref(app.loop);
    marlox_session_free(app.session);
    return app.status;
}
