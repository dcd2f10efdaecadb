// Event-loop latency of a running program's window, from outside: starts the program, times
// how long its window takes to appear, then pings the window with the window manager's
// _NET_WM_PING client message and times each reply. A toolkit answers the ping from its window
// thread, so the longest round trip is the longest the window stayed frozen. Nothing in the
// program changes for this: any window manager sends the same ping.
//
//   np_pingwin [--title T] [--seconds S] [--interval MS] -- PROGRAM [ARGS...]
//
// Needs DISPLAY and no window manager on it (the reply goes to the root window, where a
// window manager would take it). Prints one line of figures, in milliseconds.
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

xcb_atom_t atom(xcb_connection_t *c, const char *name)
{
    xcb_intern_atom_reply_t *r =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t a = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(r);
    return a;
}

std::string windowName(xcb_connection_t *c, xcb_window_t w, xcb_atom_t netName, xcb_atom_t utf8)
{
    for (const auto &[prop, type] :
         {std::pair{netName, utf8},
          std::pair{xcb_atom_t(XCB_ATOM_WM_NAME), xcb_atom_t(XCB_ATOM_STRING)}}) {
        xcb_get_property_reply_t *r =
            xcb_get_property_reply(c, xcb_get_property(c, 0, w, prop, type, 0, 256), nullptr);
        if (!r) continue;
        std::string name(static_cast<const char *>(xcb_get_property_value(r)),
                         size_t(xcb_get_property_value_length(r)));
        std::free(r);
        if (!name.empty()) return name;
    }
    return {};
}

// Waits for the next event up to `ms` milliseconds; null on time-out.
xcb_generic_event_t *nextEvent(xcb_connection_t *c, double ms)
{
    if (xcb_generic_event_t *e = xcb_poll_for_event(c)) return e;
    pollfd p{xcb_get_file_descriptor(c), POLLIN, 0};
    if (::poll(&p, 1, int(std::max(0.0, ms))) <= 0) return nullptr;
    return xcb_poll_for_event(c);
}

} // namespace

int main(int argc, char **argv)
{
    std::string title = "NarwickPanel";
    double seconds = 10, interval = 10;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string a = argv[i];
        if (a == "--title" && i + 1 < argc)
            title = argv[++i];
        else if (a == "--seconds" && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (a == "--interval" && i + 1 < argc)
            interval = std::atof(argv[++i]);
        else {
            std::fprintf(stderr, "usage: np_pingwin [--title T] [--seconds S] [--interval MS] "
                                 "-- PROGRAM [ARGS...]\n");
            return 2;
        }
    }
    if (i + 1 >= argc) return 2;
    xcb_connection_t *c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "np_pingwin: no display\n");
        return 1;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    // Maps show as the root's substructure; the toolkit sends its ping reply as a structure event.
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
    const xcb_atom_t protocols = atom(c, "WM_PROTOCOLS"), ping = atom(c, "_NET_WM_PING"),
                     netName = atom(c, "_NET_WM_NAME"), utf8 = atom(c, "UTF8_STRING");
    xcb_flush(c);

    const Clock::time_point start = Clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        ::execvp(argv[i + 1], argv + i + 1);
        ::_exit(127);
    }
    // The window: the first top-level window mapped with the title.
    xcb_window_t window = XCB_WINDOW_NONE;
    double shown = -1;
    while (window == XCB_WINDOW_NONE && msSince(start) < 60000) {
        xcb_generic_event_t *e = nextEvent(c, 100);
        if (!e) {
            if (::waitpid(child, nullptr, WNOHANG) == child) {
                std::fprintf(stderr, "np_pingwin: the program ended before its window showed\n");
                return 1;
            }
            continue;
        }
        if ((e->response_type & 0x7f) == XCB_MAP_NOTIFY) {
            const auto *m = reinterpret_cast<xcb_map_notify_event_t *>(e);
            if (windowName(c, m->window, netName, utf8) == title) {
                window = m->window;
                shown = msSince(start);
            }
        }
        std::free(e);
    }
    if (window == XCB_WINDOW_NONE) return 1;
    std::fprintf(stderr, "np_pingwin: window 0x%x shown after %.0f ms\n", window, shown);

    std::vector<double> trips;
    double worstAt = 0;
    uint32_t stamp = 0;
    while (msSince(start) - shown < seconds * 1000) {
        xcb_client_message_event_t msg{};
        msg.response_type = XCB_CLIENT_MESSAGE;
        msg.format = 32;
        msg.window = window;
        msg.type = protocols;
        msg.data.data32[0] = ping;
        msg.data.data32[1] = ++stamp;
        msg.data.data32[2] = window;
        const Clock::time_point sent = Clock::now();
        xcb_send_event(c, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&msg));
        xcb_flush(c);
        bool answered = false;
        while (!answered) {
            xcb_generic_event_t *e = nextEvent(c, 1000);
            if (!e) {
                if (::waitpid(child, nullptr, WNOHANG) == child) {
                    std::fprintf(stderr, "np_pingwin: the program ended\n");
                    return 1;
                }
                continue;
            }
            if ((e->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
                const auto *r = reinterpret_cast<xcb_client_message_event_t *>(e);
                answered =
                    r->type == protocols && r->data.data32[0] == ping && r->data.data32[1] == stamp;
            }
            std::free(e);
        }
        const double trip = msSince(sent);
        if (trips.empty() || trip > *std::max_element(trips.begin(), trips.end()))
            worstAt = msSince(start) - trip;
        trips.push_back(trip);
        const double rest = interval - trip;
        if (rest > 0) ::usleep(useconds_t(rest * 1000));
    }
    ::kill(child, SIGTERM);
    ::waitpid(child, nullptr, 0);
    std::vector<double> sorted = trips;
    std::sort(sorted.begin(), sorted.end());
    std::printf("window shown after %.0f ms; %zu pings: median %.1f ms, p99 %.1f ms, longest "
                "%.1f ms (sent %.0f ms after start)\n",
                shown, sorted.size(), sorted[sorted.size() / 2],
                sorted[std::min(sorted.size() - 1, sorted.size() * 99 / 100)], sorted.back(),
                worstAt);
    xcb_disconnect(c);
    return 0;
}
