/* The GDK lock for code that holds or hands over to it: a guard that lets it
 * go for the length of a scope (one server call; no widget may be touched
 * meanwhile), a guard that takes it, and the lock the hand-over runs under. */
#pragma once
#include <gdk/gdk.h>

#include <functional>

#include "idle_wrap.h"

struct gdk_unlock_guard
{
    gdk_unlock_guard() { gdk_threads_leave(); }
    ~gdk_unlock_guard() { gdk_threads_enter(); }
    gdk_unlock_guard(const gdk_unlock_guard &) = delete;
    gdk_unlock_guard &operator=(const gdk_unlock_guard &) = delete;
};

struct gdk_lock_guard
{
    gdk_lock_guard() { gdk_threads_enter(); }
    ~gdk_lock_guard() { gdk_threads_leave(); }
    gdk_lock_guard(const gdk_lock_guard &) = delete;
    gdk_lock_guard &operator=(const gdk_lock_guard &) = delete;
};

inline constexpr idle_wrap_lock_t gdk_idle_lock = {gdk_threads_enter, gdk_threads_leave};

/* Runs work on a worker while the calling main-loop thread serves a nested
 * loop with the GDK lock let go, so clocks and other hand-overs go on; work
 * touches no widget. Without a thread it runs here. */
void gdk_off_main(const std::function<void()> &work);
