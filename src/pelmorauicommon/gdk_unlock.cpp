#include "gdk_unlock.h"

#include <system_error>
#include <thread>

namespace {

gboolean quit_loop(gpointer loop)
{
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return FALSE;
}

} // namespace

void gdk_off_main(const std::function<void()> &work)
{
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    std::thread worker;
    try {
        worker = std::thread([&work, loop] {
            work();
            g_idle_add(quit_loop, loop);
        });
    } catch (const std::system_error &) {
        g_warning("%s: no thread, calling from the main thread", __func__);
        work();
    }
    if (worker.joinable()) {
        {
            gdk_unlock_guard unlocked;
            g_main_loop_run(loop);
        }
        worker.join();
    }
    g_main_loop_unref(loop);
}
