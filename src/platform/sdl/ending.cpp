#include "platform/sdl/ending.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <thread>

#include "platform/internal.h"

namespace lvx {
namespace {

const auto exit_budget = std::chrono::milliseconds(1500);
// How long an interrupt waits at most for the window thread to take it up:
// it may still be starting, or connecting a camera again.
const auto busy_budget = std::chrono::milliseconds(5000);

// The signals that shut the program down as its window's close request does.
const int shutdown_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

std::atomic<int> failed_status{0};  // non-zero once the display failed
std::atomic<bool> deadline_armed{false};
std::atomic<bool> busy_deadline_armed{false};
std::atomic<int> pending_signal{0};  // the first shutdown signal, 0 before one came
std::atomic<bool> exiting{false};    // main has returned: exit is running
std::atomic<bool> x_failed{false};

// Signal numbers from the handler to the watcher thread.
int wake_pipe[2] = {-1, -1};

// Ends the process with `status` once `budget` has passed.
void exit_after(std::chrono::milliseconds budget, int status) {
    try {
        std::thread([budget, status] {
            std::this_thread::sleep_for(budget);
            _exit(status);
        }).detach();
    } catch (const std::exception &) {
        // No thread to be had: the alarm's default action ends the process.
        alarm(2);
    }
}

// From now on the process ends within exit_budget whatever else happens.
void end_within_budget(int status) {
    if (deadline_armed.exchange(true)) return;
    exit_after(exit_budget, status);
}

void notify_watcher(unsigned char what) {
    int saved = errno;
    ssize_t written;
    do {
        written = write(wake_pipe[1], &what, 1);
    } while (written < 0 && errno == EINTR);
    errno = saved;
}

void on_signal(int signal_number) { notify_watcher(static_cast<unsigned char>(signal_number)); }

// A signal closes the windows from this thread, never from the handler. The
// exit budget starts when the window thread next turns to its messages (see
// window_thread_turn), so that a start-up or a reconnection under way ends
// first; a second signal, or a window thread that stays busy, ends it sooner.
void watch() {
    for (;;) {
        unsigned char what = 0;
        ssize_t got = read(wake_pipe[0], &what, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
        int first = 0;
        if (pending_signal.compare_exchange_strong(first, what)) {
            if (!busy_deadline_armed.exchange(true)) exit_after(busy_budget, 128 + what);
        } else {
            end_within_budget(128 + what);
        }
        close_all_windows();
    }
}

// Xlib's own handlers call exit on the window thread; SDL cannot go on
// after either kind of failure. Both end the process here with status 1:
// exit runs the hooks that stop the camera (each wait bounded), SDL is left
// alone from here on, and the deadline bounds the rest.
[[noreturn]] void display_failed(const char *what) {
    failed_status = 1;
    x_failed = true;
    // Met again while an exit runs already (this one or main's): no second exit.
    if (exiting.exchange(true)) _exit(1);
    std::fprintf(stderr, "lumivex: %s: ending\n", what);
    end_within_budget(1);
    std::exit(1);
}

int on_x_error(Display *, XErrorEvent *event) {
    // Errors while main's exit shuts SDL down do not matter any more.
    if (exiting) return 0;
    char what[64];
    std::snprintf(what, sizeof what, "X error %d (request %d)", event->error_code, event->request_code);
    display_failed(what);
}

int on_x_io_error(Display *) { display_failed("the connection to the display is lost"); }

void take_over_x_errors() {
    XSetErrorHandler(on_x_error);
    XSetIOErrorHandler(on_x_io_error);
}

}  // namespace

void take_signals() {
    static bool taken = false;
    if (taken) return;
    taken = true;
    // A reader of standard error that has gone away must not end the
    // program: what it writes there fails, and it goes on.
    signal(SIGPIPE, SIG_IGN);
    if (pipe2(wake_pipe, O_CLOEXEC) != 0) return;
    try {
        std::thread(watch).detach();
    } catch (const std::exception &) {
        return;
    }
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigset_t set;
    sigemptyset(&set);
    for (int s : shutdown_signals) {
        sigaction(s, &action, nullptr);
        sigaddset(&set, s);
    }
    // Taken by the watcher thread only: no call of this thread, nor of the
    // threads it starts from now on (they inherit the mask), is interrupted.
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void window_thread_turn() {
    if (int s = pending_signal.load(std::memory_order_relaxed)) end_within_budget(128 + s);
}

void install_exit_paths(bool x11) {
    static bool installed = false;
    if (installed) return;
    installed = true;
    take_signals();
    if (x11) take_over_x_errors();
}

int process_status(int status) {
    exiting = true;
    if (failed_status != 0) status = failed_status;
    end_within_budget(status);
    return status;
}

bool display_lost() { return x_failed; }

}  // namespace lvx
