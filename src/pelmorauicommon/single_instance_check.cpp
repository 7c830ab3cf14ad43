/* On X11 the top-level windows are the window manager's client list (or the
 * root's children when no window manager runs); the owning process comes from
 * _NET_WM_PID and its executable from /proc/PID/exe. */
#include "single_instance_check.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gdk/gdkx.h>
#include <glib.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

std::string exe_base_name(pid_t pid)
{
    char link[64], path[4097];
    snprintf(link, sizeof(link), "/proc/%d/exe", (int)pid);
    ssize_t n = readlink(link, path, sizeof(path) - 1);
    if (n <= 0)
        return std::string();
    path[n] = 0;
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

std::vector<Window> top_level_windows(Display *dpy)
{
    std::vector<Window> out;
    Window root = DefaultRootWindow(dpy);
    Atom client_list = XInternAtom(dpy, "_NET_CLIENT_LIST_STACKING", True);
    if (client_list == None)
        client_list = XInternAtom(dpy, "_NET_CLIENT_LIST", True);
    if (client_list != None) {
        Atom type;
        int format;
        unsigned long count = 0, after;
        unsigned char *data = nullptr;
        if (XGetWindowProperty(dpy, root, client_list, 0, 65536, False, XA_WINDOW, &type, &format, &count, &after,
                               &data) == Success &&
            data && format == 32) {
            Window *w = reinterpret_cast<Window *>(data);
            /* Topmost first, as the walk goes from the top window down. */
            for (unsigned long i = count; i > 0; i--)
                out.push_back(w[i - 1]);
        }
        if (data)
            XFree(data);
        if (!out.empty())
            return out;
    }
    Window root_ret, parent_ret, *children = nullptr;
    unsigned int n = 0;
    if (XQueryTree(dpy, root, &root_ret, &parent_ret, &children, &n)) {
        for (unsigned int i = n; i > 0; i--)
            out.push_back(children[i - 1]);
        if (children)
            XFree(children);
    }
    return out;
}

long window_pid(Display *dpy, Window w)
{
    Atom pid_atom = XInternAtom(dpy, "_NET_WM_PID", True);
    if (pid_atom == None)
        return -1;
    Atom type;
    int format;
    unsigned long count = 0, after;
    unsigned char *data = nullptr;
    long pid = -1;
    if (XGetWindowProperty(dpy, w, pid_atom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after, &data) ==
            Success &&
        data && count == 1 && format == 32)
        pid = (long)*reinterpret_cast<unsigned long *>(data);
    if (data)
        XFree(data);
    return pid;
}

bool window_title(Display *dpy, Window w, std::string &title)
{
    Atom net_wm_name = XInternAtom(dpy, "_NET_WM_NAME", True);
    Atom utf8 = XInternAtom(dpy, "UTF8_STRING", True);
    if (net_wm_name != None && utf8 != None) {
        Atom type;
        int format;
        unsigned long count = 0, after;
        unsigned char *data = nullptr;
        if (XGetWindowProperty(dpy, w, net_wm_name, 0, 1024, False, utf8, &type, &format, &count, &after, &data) ==
                Success &&
            data && format == 8) {
            title.assign(reinterpret_cast<char *>(data), count);
            XFree(data);
            return true;
        }
        if (data)
            XFree(data);
    }
    char *name = nullptr;
    if (XFetchName(dpy, w, &name) && name) {
        title = name;
        XFree(name);
        return true;
    }
    return false;
}

void bring_to_front(Display *dpy, Window w)
{
    Window root = DefaultRootWindow(dpy);
    Atom active = XInternAtom(dpy, "_NET_ACTIVE_WINDOW", False);
    XEvent ev;
    memset(&ev, 0, sizeof(ev));
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = active;
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = 2; /* request from a pager-like source */
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(dpy, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
    /* Without a window manager nobody answers the request: raise it directly. */
    XMapRaised(dpy, w);
    XFlush(dpy);
}

} // namespace

int single_instance_check(instance_t *app)
{
    GdkDisplay *gdpy = gdk_display_get_default();
    if (!gdpy)
        return 0;
    Display *dpy = GDK_DISPLAY_XDISPLAY(gdpy);
    const pid_t own = getpid();
    const std::string own_exe = exe_base_name(own);

    for (Window w : top_level_windows(dpy)) {
        /* Unmapped windows (a toolkit's group leader, say) are no one's main window. */
        XWindowAttributes attr;
        if (!XGetWindowAttributes(dpy, w, &attr) || attr.map_state != IsViewable)
            continue;
        long pid = window_pid(dpy, w);
        if (pid <= 0 || pid == own)
            continue;
        const std::string exe = exe_base_name((pid_t)pid);
        if (exe.empty() || exe != own_exe)
            continue;
        std::string title;
        if (!window_title(dpy, w, title)) {
            g_warning("%s:%d GetWindowText failed", __func__, __LINE__);
            continue;
        }
        g_warning("%s:%d path=[%s], pid=%d, dwTheardId=%d, aProcessCurr=%d, text=[%s]", __func__, __LINE__, exe.c_str(),
                  (int)pid, 0, (int)own, title.c_str());
        if (title == "PelmoraBoxUI" || (app->window_title[0] && title == app->window_title)) {
            g_warning("%s:%d Will switch!", __func__, __LINE__);
            bring_to_front(dpy, w);
            exit(0);
        }
    }
    return 0;
}
