/* X11 read-outs and requests for tests that run the real program: its
 * mapped top-level window, the stacking order, and a window manager's close
 * request. */
#pragma once
#include <X11/Xlib.h>
#include <sys/types.h>

#include <string>

/* _NET_WM_PID of w, or -1. */
long x_window_pid(Display *dpy, Window w);
/* The mapped top-level window of process pid, or 0. With title given only a
 * window with a name counts, and the name is stored there. */
Window x_window_of(Display *dpy, pid_t pid, std::string *title = nullptr);
/* The same, polled every 50 ms for up to ms. */
Window x_wait_window(Display *dpy, pid_t pid, std::string *title = nullptr, int ms = 15000);
/* Index of w among the root's children (higher = on top), or -1. */
int x_stacking_index(Display *dpy, Window w);
/* WM_DELETE_WINDOW, as a window manager's close button sends it. */
void x_close_request(Display *dpy, Window w);
