#include "platform/trace.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/internal.h"

namespace lvx {
namespace {

struct Delivering {
    uint32_t sequence = 0;
    uint64_t ready_ns = 0;
    uint64_t dequeued_ns = 0;
};
thread_local Delivering delivering;

// The trace file, opened on first use; -1 when off or not writable.
int trace_fd() {
    static const int fd = [] {
        const char *path = std::getenv("LUMIVEX_TRACE");
        if (!path || !*path) return -1;
        int f = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        if (f < 0) {
            std::fprintf(stderr, "lumivex: cannot write the trace %s\n", path);
            return -1;
        }
        const char header[] =
            "# sequence ready dequeued published shown (microseconds, CLOCK_MONOTONIC; shown - : replaced "
            "before it was shown)\n";
        if (write(f, header, sizeof header - 1) < 0) {
        }
        return f;
    }();
    return fd;
}

// One line, written whole (O_APPEND), so lines from two threads never mix.
void write_line(const Screen &s, uint64_t shown_ns) {
    char line[128];
    int n;
    if (shown_ns)
        n = std::snprintf(line, sizeof line, "%u %llu %llu %llu %llu\n", s.frame_sequence,
                          static_cast<unsigned long long>(s.frame_ready_ns / 1000),
                          static_cast<unsigned long long>(s.frame_dequeued_ns / 1000),
                          static_cast<unsigned long long>(s.published_ns / 1000),
                          static_cast<unsigned long long>(shown_ns / 1000));
    else
        n = std::snprintf(line, sizeof line, "%u %llu %llu %llu -\n", s.frame_sequence,
                          static_cast<unsigned long long>(s.frame_ready_ns / 1000),
                          static_cast<unsigned long long>(s.frame_dequeued_ns / 1000),
                          static_cast<unsigned long long>(s.published_ns / 1000));
    if (n > 0 && write(trace_fd(), line, static_cast<size_t>(n)) < 0) {
    }
}

}  // namespace

bool trace_on() {
    static const bool on = trace_fd() >= 0;
    return on;
}

uint64_t trace_clock_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

void trace_delivering(uint32_t sequence, uint64_t ready_ns, uint64_t dequeued_ns) {
    delivering = {sequence, ready_ns, dequeued_ns};
}

void trace_published(Screen &screen) {
    if (!trace_on()) return;
    const Delivering &d = delivering;
    // A repaint between frames shows the latest frame again: it keeps the
    // frame of the picture it replaces.
    if (!d.ready_ns) return;
    if (screen.fresh && screen.frame_ready_ns) write_line(screen, 0);
    screen.frame_sequence = d.sequence;
    screen.frame_ready_ns = d.ready_ns;
    screen.frame_dequeued_ns = d.dequeued_ns;
    screen.published_ns = trace_clock_ns();
}

void trace_shown(Screen &screen) {
    if (!trace_on() || !screen.frame_ready_ns) return;
    write_line(screen, trace_clock_ns());
    screen.frame_ready_ns = 0;
}

}  // namespace lvx
