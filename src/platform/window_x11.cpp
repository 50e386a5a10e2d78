// Front-end window watch on X11: asks the server named by DISPLAY whether a window id
// still exists. Anything short of a clear BadWindow answer is Unknown, so that a missing or
// broken display never ends a match.
#include "platform/platform.h"

#include <xcb/xcb.h>
#include <xcb/xcbext.h> // xcb_poll_for_reply: a reply wait we can bound

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>

#include <poll.h>

namespace {

constexpr int ReplyTimeoutMs = 200;           // the watch runs every 500 ms on the main thread
constexpr int ReconnectBackoffMs = 5000;      // between connection attempts after a failure
constexpr int MaxPollRounds = 16;             // bounds the wait loop besides the time limit
constexpr std::uint8_t BadWindowError = 3;    // X11 core protocol error code
constexpr std::uint64_t MaxWindowId = 0xFFFFFFFFu; // X resource ids are 32 bits wide

using Clock = std::chrono::steady_clock;

struct Display
{
    xcb_connection_t *connection = nullptr;
    Clock::time_point nextAttempt{};
};

Display &display()
{
    static Display state;
    return state;
}

void dropConnection(Display &state)
{
    if (state.connection)
        xcb_disconnect(state.connection);
    state.connection = nullptr;
    state.nextAttempt = Clock::now() + std::chrono::milliseconds(ReconnectBackoffMs);
}

xcb_connection_t *connection()
{
    Display &state = display();
    if (state.connection && xcb_connection_has_error(state.connection))
        dropConnection(state);
    if (state.connection)
        return state.connection;
    if (Clock::now() < state.nextAttempt)
        return nullptr;
    const char *name = std::getenv("DISPLAY");
    if (!name || !*name) {
        state.nextAttempt = Clock::now() + std::chrono::milliseconds(ReconnectBackoffMs);
        return nullptr;
    }
    state.connection = xcb_connect(name, nullptr);
    if (xcb_connection_has_error(state.connection)) {
        dropConnection(state);
        return nullptr;
    }
    return state.connection;
}

} // namespace

namespace platform {

WindowState windowState(std::uint64_t handle)
{
    // No X window can carry a wider id; truncating would ask about some other window.
    if (handle > MaxWindowId)
        return WindowState::Gone;
    xcb_connection_t *conn = connection();
    if (!conn)
        return WindowState::Unknown;

    const xcb_get_window_attributes_cookie_t cookie =
        xcb_get_window_attributes(conn, static_cast<xcb_window_t>(handle));
    if (xcb_flush(conn) <= 0) {
        dropConnection(display());
        return WindowState::Unknown;
    }

    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ReplyTimeoutMs);
    for (int round = 0; round < MaxPollRounds; ++round) {
        void *reply = nullptr;
        xcb_generic_error_t *error = nullptr;
        if (xcb_poll_for_reply(conn, cookie.sequence, &reply, &error)) {
            const bool gone = !reply && error && error->error_code == BadWindowError;
            const bool exists = reply != nullptr;
            std::free(reply);
            std::free(error);
            if (exists)
                return WindowState::Exists;
            return gone ? WindowState::Gone : WindowState::Unknown;
        }
        if (xcb_connection_has_error(conn))
            break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            // Give up on this answer without leaving it queued in the connection.
            xcb_discard_reply(conn, cookie.sequence);
            return WindowState::Unknown;
        }
        pollfd descriptor{xcb_get_file_descriptor(conn), POLLIN, 0};
        const int ready = ::poll(&descriptor, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR)
            break;
    }
    if (xcb_connection_has_error(conn))
        dropConnection(display());
    else
        xcb_discard_reply(conn, cookie.sequence);
    return WindowState::Unknown;
}

} // namespace platform
