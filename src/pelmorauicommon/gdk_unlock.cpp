#include "gdk_unlock.h"

void gdk_off_main(const std::function<void()> &work)
{
    idle_wrap_off_main(work, nullptr, &gdk_idle_lock);
}
