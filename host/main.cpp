// The host program: brings the framework up, loads the plug-ins named on
// the command line, runs the loop until SIGINT or SIGTERM, and takes the
// framework down again.
#include <kerrow/frame.h>
#include <kerrow/log.h>

#include <ev.h>
#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {
// Signals arrive through libev's signal watchers, so kd_shutdown runs on
// the loop thread and never from an asynchronous signal handler.
void on_signal(struct ev_loop *, ev_signal *w, int)
{
    KD_LOG(KD_LOG_NOTICE, "[host] signal %d, shutting down\n", w->signum);
    kd_shutdown();
}

void usage(const char *argv0)
{
    std::fprintf(stderr, "usage: %s [plugin-name ...]\n", argv0);
}
} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "--help")) {
            usage(argv[0]);
            return 0;
        }
    }

    // SIGINT and SIGTERM wait, blocked, until the loop's watchers take them:
    // a stop asked for while the framework starts is a normal shutdown, not
    // a killed process.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    kd_frame_init();
    struct ev_loop *loop = kd_frame_get_loop();
    ev_signal sigint, sigterm;
    ev_signal_init(&sigint, on_signal, SIGINT);
    ev_signal_init(&sigterm, on_signal, SIGTERM);
    ev_signal_start(loop, &sigint);
    ev_signal_start(loop, &sigterm);
    pthread_sigmask(SIG_UNBLOCK, &stop_signals, nullptr);
    ev_unref(loop); // the signal watchers alone do not keep the loop alive
    ev_unref(loop);

    for (int i = 1; i < argc; ++i)
        kd_frame_load_plugin(argv[i]);

    kd_frame_run();

    ev_ref(loop);
    ev_ref(loop);
    ev_signal_stop(loop, &sigint);
    ev_signal_stop(loop, &sigterm);
    kd_frame_fini();
    return 0;
}
