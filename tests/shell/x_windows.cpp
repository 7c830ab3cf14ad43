/* X11 helpers of the program tests: see x_windows.h. */
#include "x_windows.h"

#include <X11/Xatom.h>
#include <unistd.h>

long x_window_pid(Display *dpy, Window w)
{
    Atom a = XInternAtom(dpy, "_NET_WM_PID", True);
    if (a == None)
        return -1;
    Atom type;
    int format;
    unsigned long n = 0, after;
    unsigned char *data = nullptr;
    long pid = -1;
    if (XGetWindowProperty(dpy, w, a, 0, 1, False, XA_CARDINAL, &type, &format, &n, &after, &data) == Success && data &&
        n == 1)
        pid = (long)*reinterpret_cast<unsigned long *>(data);
    if (data)
        XFree(data);
    return pid;
}

Window x_window_of(Display *dpy, pid_t pid, std::string *title)
{
    Window root_ret, parent_ret, *kids = nullptr;
    unsigned int n = 0;
    Window found = 0;
    XQueryTree(dpy, DefaultRootWindow(dpy), &root_ret, &parent_ret, &kids, &n);
    for (unsigned int i = 0; i < n && !found; i++) {
        XWindowAttributes attr;
        if (x_window_pid(dpy, kids[i]) != pid || !XGetWindowAttributes(dpy, kids[i], &attr) ||
            attr.map_state != IsViewable)
            continue;
        if (!title) {
            found = kids[i];
            continue;
        }
        char *name = nullptr;
        if (XFetchName(dpy, kids[i], &name) && name) {
            *title = name;
            XFree(name);
            found = kids[i];
        }
    }
    if (kids)
        XFree(kids);
    return found;
}

Window x_wait_window(Display *dpy, pid_t pid, std::string *title, int ms)
{
    for (int t = 0; t < ms; t += 50) {
        if (Window w = x_window_of(dpy, pid, title))
            return w;
        usleep(50000);
    }
    return 0;
}

int x_stacking_index(Display *dpy, Window w)
{
    Window root_ret, parent_ret, *kids = nullptr;
    unsigned int n = 0;
    int idx = -1;
    XQueryTree(dpy, DefaultRootWindow(dpy), &root_ret, &parent_ret, &kids, &n);
    for (unsigned int i = 0; i < n; i++)
        if (kids[i] == w)
            idx = (int)i;
    if (kids)
        XFree(kids);
    return idx;
}

void x_close_request(Display *dpy, Window w)
{
    XEvent ev = {};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = (long)XInternAtom(dpy, "WM_DELETE_WINDOW", False);
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(dpy, w, False, NoEventMask, &ev);
    XFlush(dpy);
}
