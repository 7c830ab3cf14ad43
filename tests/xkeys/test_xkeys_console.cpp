// The real console on a machine without a keypad: it comes up, says so in
// its log, and closes as usual.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "child_process.h"
#include "x_windows.h"

namespace {

/* A keypad plugged into the machine running the tests changes the log. */
bool keypad_plugged(void)
{
    DIR *d = opendir("/sys/class/hidraw");
    if (!d)
        return false;
    bool found = false;
    while (dirent *e = readdir(d)) {
        std::ifstream f(std::string("/sys/class/hidraw/") + e->d_name + "/device/uevent");
        std::string line;
        while (std::getline(f, line))
            if (line.rfind("HID_ID=", 0) == 0 && line.find(":000005F3:") != std::string::npos)
                found = true;
    }
    closedir(d);
    return found;
}

} // namespace

TEST(KeypadConsole, NoKeypadKeepsTheConsoleRunning)
{
    if (!getenv("DISPLAY"))
        GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
    if (keypad_plugged())
        GTEST_SKIP() << "a keypad is plugged into this machine";
    Display *dpy = nullptr;
    for (int i = 0; i < 50 && !dpy; i++) {
        dpy = XOpenDisplay(nullptr);
        if (!dpy)
            usleep(100000);
    }
    ASSERT_NE(dpy, nullptr);

    child_process p;
    ASSERT_TRUE(
        p.start({program_path(), "--add-bus=A", "--host=127.0.0.1:9", "--xkeys-row=2", "--xkeys-col=1"}, {"-TC_MODE"}));
    Window w = x_wait_window(dpy, p.pid);
    ASSERT_NE(w, 0u) << p.err();
    /* The keypad is started just before the main loop runs. */
    std::string err;
    for (int i = 0; i < 200 && err.find("xkeys_start: device not set") == std::string::npos; i++) {
        usleep(50000);
        err = p.err();
    }
    EXPECT_NE(err.find("xkeys_init: EnumeratePIE found 0 devices"), std::string::npos) << err;
    EXPECT_NE(err.find("xkeys_start: device not set"), std::string::npos) << err;
    /* ... and the console goes on with its window. */
    EXPECT_FALSE(p.wait_ms(300));
    EXPECT_EQ(x_window_of(dpy, p.pid), w);
    EXPECT_EQ(err.find("Found XKeys Device"), std::string::npos);

    x_close_request(dpy, w);
    ASSERT_TRUE(p.wait_ms(15000)) << p.err();
    EXPECT_EQ(p.exit_code(), 0);
    err = p.err();
    EXPECT_NE(err.find("xkeys_stop: device not set"), std::string::npos) << err;
    EXPECT_LT(err.find("xkeys_start: device not set"), err.find("xkeys_stop: device not set"));
    XCloseDisplay(dpy);
}
