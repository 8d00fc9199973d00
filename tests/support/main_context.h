// Waiting on the default GLib main context in tests: iterate until something happened,
// with a deadline instead of a fixed sleep.
#pragma once

#include <glib.h>

#include <chrono>
#include <functional>

namespace ShadeLedgerZizadezavav {

// Dispatches the default main context until condition holds; false at the deadline.
inline bool runMainContextUntil(const std::function<bool()>& condition,
    std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        // Never block longer than a tick, so the deadline is noticed.
        GSource* tick = g_timeout_source_new(20);
        g_source_set_callback(
            tick, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
        g_source_attach(tick, nullptr);
        g_main_context_iteration(nullptr, TRUE);
        g_source_destroy(tick);
        g_source_unref(tick);
    }
    return true;
}

} // namespace ShadeLedgerZizadezavav
