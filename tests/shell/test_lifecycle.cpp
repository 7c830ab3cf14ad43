// Start-up and shutdown of the real program under the test display: usage
// cases, the window title rule, the close sequence and the single-instance
// check.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "child_process.h"
#include "x_windows.h"

namespace {

const std::string usage_tail = "\t--long-start-offset=-2       Long date in START column hours offset\n";

bool ends_with(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

int count_of(const std::string &s, const std::string &what)
{
    int n = 0;
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1))
        n++;
    return n;
}

/* An X server started without -noreset starts over when its last client
 * leaves, and refuses connections for a moment meanwhile. */
Display *open_display()
{
    for (int i = 0; i < 50; i++) {
        if (Display *d = XOpenDisplay(nullptr))
            return d;
        usleep(100000);
    }
    return nullptr;
}

struct display
{
    Display *dpy = open_display();
    ~display()
    {
        if (dpy)
            XCloseDisplay(dpy);
    }

    Window wait_window(pid_t pid, std::string *title) { return x_wait_window(dpy, pid, title); }
    int stacking_index(Window w) { return x_stacking_index(dpy, w); }
    void close_request(Window w) { x_close_request(dpy, w); }
};

class Lifecycle : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!getenv("DISPLAY"))
            GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
        ASSERT_NE(d.dpy, nullptr);
    }
    display d;
};

std::string write_file(const std::string &text)
{
    char tmpl[] = "/tmp/pelmora-life-XXXXXX";
    int fd = mkstemp(tmpl);
    close(fd);
    std::ofstream(tmpl) << text;
    return tmpl;
}

} // namespace

TEST_F(Lifecycle, NoArgumentsPrintsUsageAndBuildsNoWindow)
{
    child_process p;
    ASSERT_TRUE(p.start({program_path()}, {"-TC_MODE"}));
    ASSERT_TRUE(p.wait_ms(10000));
    EXPECT_EQ(p.exit_code(), 0);
    const std::string err = p.err();
    EXPECT_TRUE(ends_with(err, usage_tail)) << err;
    EXPECT_NE(err.find("Usage:\n\t--lib=<HOST:PORT>"), std::string::npos);
    EXPECT_EQ(err.find("destroy occurred"), std::string::npos);
    EXPECT_NE(p.out().find("PATH_MAX=260\n"), std::string::npos);
}

TEST_F(Lifecycle, RefusedOptionPrintsItsMessageThenUsage)
{
    child_process p;
    ASSERT_TRUE(p.start({program_path(), "--host=h:1", "--add-bus=A"}, {"-TC_MODE"}));
    ASSERT_TRUE(p.wait_ms(10000));
    EXPECT_EQ(p.exit_code(), 0);
    const std::string err = p.err();
    size_t msg = err.find("ERROR! Ambigous --host. Specify --add-bus first\nUsage:\n");
    EXPECT_NE(msg, std::string::npos) << err;
    EXPECT_TRUE(ends_with(err, usage_tail));
}

TEST_F(Lifecycle, BadTimecodeModeInTheEnvironmentEndsWithOne)
{
    child_process p;
    ASSERT_TRUE(p.start({program_path(), "--add-bus=A"}, {"TC_MODE=bogus"}));
    ASSERT_TRUE(p.wait_ms(10000));
    EXPECT_EQ(p.exit_code(), 1);
    EXPECT_EQ(p.err(), "Failed to set timecode mode\n");
}

TEST_F(Lifecycle, WindowTitleAndOrderlyShutdownOnTwoCloseRequests)
{
    child_process p;
    ASSERT_TRUE(p.start({program_path(), "--add-bus", "A", "--add-bus", "B"}, {"-TC_MODE"}));
    std::string title;
    Window w = d.wait_window(p.pid, &title);
    ASSERT_NE(w, 0u) << p.err();
    EXPECT_EQ(title, "PelmoraBoxUI");

    d.close_request(w);
    d.close_request(w);
    ASSERT_TRUE(p.wait_ms(2000)) << p.err();
    EXPECT_EQ(p.exit_code(), 0);
    const std::string err = p.err();
    EXPECT_EQ(count_of(err, "on_main_window_delete_event: app->f_exit=0\n"), 1) << err;
    EXPECT_EQ(count_of(err, "destroy occurred\n"), 1);
    /* Both buses' library threads ended before the window went. */
    EXPECT_EQ(count_of(err, "library_stat_notify_proc: finished"), 2);
    EXPECT_LT(err.rfind("library_stat_notify_proc: finished"), err.find("destroy occurred"));
}

TEST_F(Lifecycle, TitleFromAnOptionsFile)
{
    std::string f = write_file("--window-title=Studio A\n--add-bus=A\n");
    child_process p;
    ASSERT_TRUE(p.start({program_path(), f}, {"-TC_MODE"}));
    std::string title;
    Window w = d.wait_window(p.pid, &title);
    ASSERT_NE(w, 0u) << p.err();
    EXPECT_EQ(title, "Studio A");
    d.close_request(w);
    EXPECT_TRUE(p.wait_ms(2000));
    EXPECT_EQ(p.exit_code(), 0);
    unlink(f.c_str());
}

TEST_F(Lifecycle, SingleInstanceRaisesTheFirstAndEnds)
{
    child_process first;
    ASSERT_TRUE(first.start({program_path(), "--single-instance", "--add-bus=A"}, {"-TC_MODE"}));
    std::string title;
    Window w1 = d.wait_window(first.pid, &title);
    ASSERT_NE(w1, 0u);

    /* Put another window of the same program on top of it. */
    child_process other;
    ASSERT_TRUE(other.start({program_path(), "--window-title=Other", "--add-bus=B"}, {"-TC_MODE"}));
    Window w_other = d.wait_window(other.pid, &title);
    ASSERT_NE(w_other, 0u);
    XRaiseWindow(d.dpy, w_other);
    XSync(d.dpy, False);
    ASSERT_GT(d.stacking_index(w_other), d.stacking_index(w1));

    child_process second;
    ASSERT_TRUE(second.start({program_path(), "--single-instance", "--add-bus=A"}, {"-TC_MODE"}));
    ASSERT_TRUE(second.wait_ms(10000));
    EXPECT_EQ(second.exit_code(), 0);
    EXPECT_NE(second.err().find("Will switch!"), std::string::npos) << second.err();
    XSync(d.dpy, False);
    EXPECT_GT(d.stacking_index(w1), d.stacking_index(w_other));
    EXPECT_FALSE(first.wait_ms(0)) << "the first instance must keep running";

    d.close_request(w1);
    d.close_request(w_other);
    EXPECT_TRUE(first.wait_ms(2000));
    EXPECT_TRUE(other.wait_ms(2000));
}

TEST_F(Lifecycle, SingleInstanceWithDifferentTitlesBothRun)
{
    child_process a, b;
    ASSERT_TRUE(a.start({program_path(), "--single-instance", "--window-title=Studio A", "--add-bus=A"}, {"-TC_MODE"}));
    std::string title;
    Window wa = d.wait_window(a.pid, &title);
    ASSERT_NE(wa, 0u);
    ASSERT_TRUE(b.start({program_path(), "--single-instance", "--window-title=Studio B", "--add-bus=B"}, {"-TC_MODE"}));
    Window wb = d.wait_window(b.pid, &title);
    ASSERT_NE(wb, 0u) << b.err();
    EXPECT_EQ(title, "Studio B");
    EXPECT_EQ(b.err().find("Will switch!"), std::string::npos);
    d.close_request(wa);
    d.close_request(wb);
    EXPECT_TRUE(a.wait_ms(2000));
    EXPECT_TRUE(b.wait_ms(2000));
    EXPECT_EQ(a.exit_code(), 0);
    EXPECT_EQ(b.exit_code(), 0);
}
