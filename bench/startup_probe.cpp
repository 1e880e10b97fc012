// startup-probe RUNS PROGRAM [ARGS...]: starts PROGRAM RUNS times on the current X display
// and prints, for each run, the time from launch until its first top-level window is
// mapped (shown on screen), then the median. Used by bench/startup.sh under Xvfb.
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: startup-probe RUNS PROGRAM [ARGS...]\n");
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "startup-probe: no X display\n");
        return 1;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, screen->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(c);

    std::vector<double> times;
    for (int r = 0; r < runs; ++r) {
        const auto start = std::chrono::steady_clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            execv(argv[2], argv + 2);
            _exit(127);
        }
        double ms = -1;
        while (xcb_generic_event_t* e = xcb_wait_for_event(c)) {
            const bool mapped = (e->response_type & 0x7f) == XCB_MAP_NOTIFY;
            std::free(e);
            if (mapped) {
                ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                               start)
                         .count();
                break;
            }
        }
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        // Drain the unmap and destroy notifications of the closed window.
        usleep(200000);
        while (xcb_generic_event_t* e = xcb_poll_for_event(c))
            std::free(e);
        std::printf("run %d: %.1f ms\n", r + 1, ms);
        times.push_back(ms);
    }
    std::sort(times.begin(), times.end());
    std::printf("median: %.1f ms over %d runs\n", times[times.size() / 2], runs);
    xcb_disconnect(c);
    return 0;
}
