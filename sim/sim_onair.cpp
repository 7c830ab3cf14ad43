/* The on-air thread: the buses' clock, their as-run logs and their output. */
#include "sim_onair.h"

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "sim_clock.h"
#include "sim_confine.h"
#include "sim_libmedia.h"

namespace {

/* What a bus shows: the IO server is told again only when this changes. */
struct oa_sig
{
    int kind = -1;
    int64_t sys_id = 0, start_ms = 0;
    int in = 0, dur = 0;
    std::string name, title;
    bool operator==(const oa_sig &o) const
    {
        return kind == o.kind && sys_id == o.sys_id && start_ms == o.start_ms && in == o.in && dur == o.dur &&
               name == o.name && title == o.title;
    }
};

struct oa_bus
{
    sim_server_t *srv;
    sim_bus_t *bus;
    std::string log_name;
    sim_io_t *io = nullptr;
    oa_sig shown;
};

} // namespace

struct sim_onair_desc
{
    std::vector<oa_bus> buses;
    sim_fd_t data_fd;
    std::mutex lock;
    std::condition_variable cond;
    int f_stop = 0;
    std::thread thread;
};

static std::string oa_clean(const std::string &s)
{
    std::string out = s.substr(0, 259);
    for (char &ch : out)
        if ((unsigned char)ch < 0x20 || ch == 0x7f)
            ch = ' ';
    return out;
}

std::string sim_onair_asrun_line(const sim_aired_t &a)
{
    time_t t = (time_t)(a.start_ms / 1000);
    struct tm tm;
    localtime_r(&t, &tm);
    char when[64], planned[32], played[32];
    snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
             tm.tm_hour, tm.tm_min, tm.tm_sec, (int)(a.start_ms % 1000));
    sim_clock_dur2tc(a.planned_ms, planned, sizeof planned);
    sim_clock_dur2tc(a.played_ms, played, sizeof played);
    char nums[96];
    snprintf(nums, sizeof nums, "\t%" PRId64 "\t%" PRId64 "\t", a.start_ms, a.sys_id);
    return std::string(when) + nums + oa_clean(a.media_id) + "\t" + planned + "\t" + played + "\t" +
           (a.how ? a.how : "") + "\t" + oa_clean(a.title) + "\n";
}

/* Appends whole lines: a write that falls short (a full disk) is taken
 * back, so a reader never meets half a line. */
static void oa_append(sim_onair_t *oa, const std::string &name, const std::string &text)
{
    int fd = openat(oa->data_fd.fd, name.c_str(),
                    O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        fprintf(stderr, "sim: as-run log [%s] cannot be opened: %s\n", name.c_str(), strerror(errno));
        return;
    }
    sim_fd_t guard(fd);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        fprintf(stderr, "sim: as-run log [%s] is not a regular file\n", name.c_str());
        return;
    }
    ssize_t n = write(fd, text.data(), text.size());
    if (n != (ssize_t)text.size()) {
        fprintf(stderr, "sim: as-run log [%s] not written: %s\n", name.c_str(), n < 0 ? strerror(errno) : "short");
        if (n > 0 && ftruncate(fd, st.st_size) != 0)
            fprintf(stderr, "sim: as-run log [%s] holds a cut line\n", name.c_str());
    }
}

/* What the bus has on air now (under its lock). */
static oa_sig oa_what(sim_bus_t *bus)
{
    oa_sig s;
    s.kind = SIM_IO_AIR_BLACK;
    if (!bus->f_running || !bus->f_on_air || bus->list.empty())
        return s;
    const sim_event_t &top = bus->list.front();
    const pelmorabox_event_t *e = top.ev;
    s.sys_id = top.sys_id;
    s.start_ms = bus->air_start_ms;
    s.title = e->title;
    s.dur = (int)std::min<int64_t>(sim_clock_ms2frames(top.dur_ms), 0x7fffffff);
    if (e->event_type == 'L' || e->media_id[0] == '#') {
        s.kind = SIM_IO_AIR_CARD;
        s.name = e->media_id[0] == '#' ? e->media_id : "#LIVE";
    } else if (top.media_flags & PELMORABOX_EVENT_FLAG_PRESENT) {
        s.kind = SIM_IO_AIR_CLIP;
        s.name = sim_libmedia_key(e->media_id);
        s.in = (int)std::min<int64_t>(sim_media_file_in(bus->cat, e), 0x7fffffff);
    }
    return s;
}

static void oa_pass(sim_onair_t *oa, int f_show)
{
    for (oa_bus &b : oa->buses) {
        std::vector<sim_aired_t> aired;
        oa_sig now_shown;
        {
            std::lock_guard<std::mutex> g(b.bus->lock);
            sim_bus_advance(b.bus, sim_clock_now_ms());
            aired = sim_bus_take_aired(b.bus);
            if (b.io)
                now_shown = oa_what(b.bus);
        }
        if (!aired.empty()) {
            std::string text;
            for (const sim_aired_t &a : aired)
                text += sim_onair_asrun_line(a);
            oa_append(oa, b.log_name, text);
        }
        if (f_show && b.io && !(now_shown == b.shown)) {
            sim_io_air_t air;
            air.kind = now_shown.kind;
            air.name = now_shown.name;
            air.title = now_shown.title;
            air.in = now_shown.in;
            air.dur = now_shown.dur;
            air.start_ms = now_shown.start_ms;
            int r = sim_io_air(b.io, &air);
            if (r < 0)
                fprintf(stderr, "sim: bus %d: [%s] cannot go to air (%d), black instead\n", b.bus->idx,
                        air.name.c_str(), r);
            b.shown = now_shown;
        }
    }
}

static void oa_loop(sim_onair_t *oa)
{
    for (;;) {
        {
            std::unique_lock<std::mutex> g(oa->lock);
            if (oa->cond.wait_for(g, std::chrono::milliseconds(SIM_ONAIR_TICK_MS), [oa] { return oa->f_stop != 0; }))
                return;
        }
        oa_pass(oa, 1);
    }
}

sim_onair_t *sim_onair_start(const std::vector<sim_server_t *> &servers, const std::vector<sim_onair_pair_t> &pairs,
                             const std::string &data_dir, std::string *err)
{
    sim_onair_t *oa = new sim_onair_t();
    oa->data_fd.reset(open(data_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (oa->data_fd.fd < 0) {
        *err = "data folder [" + data_dir + "] cannot be opened: " + strerror(errno);
        delete oa;
        return nullptr;
    }
    for (sim_server_t *srv : servers)
        for (auto &bus : srv->buses) {
            oa_bus b;
            b.srv = srv;
            b.bus = bus.get();
            std::string name = "bus-" + std::to_string(bus->idx);
            if (srv->server_idx)
                name = "server-" + std::to_string(srv->server_idx) + "-" + name;
            b.log_name = "asrun-" + name + ".log";
            for (const sim_onair_pair_t &p : pairs)
                if (p.srv == srv && p.bus == bus->idx)
                    b.io = p.io;
            oa->buses.push_back(b);
        }
    oa->thread = std::thread(oa_loop, oa);
    return oa;
}

void sim_onair_stop(sim_onair_t *oa)
{
    if (!oa)
        return;
    {
        std::lock_guard<std::mutex> g(oa->lock);
        oa->f_stop = 1;
        oa->cond.notify_all();
    }
    if (oa->thread.joinable())
        oa->thread.join();
    oa_pass(oa, 0);
    delete oa;
}
