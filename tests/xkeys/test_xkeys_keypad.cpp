// The keypad through the scripted HID backend: arm and execute keys fire
// takes that a real pelmora-sim carries out, the backlight reports on the
// wire, keys that must never fire, refusals, and a keypad that is unplugged
// and plugged in again while the console runs.
#include <arpa/inet.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

#include "instance.h"
#include "pelmora.h"
#include "pelmora_version.h"
#include "pelmorabox.h"
#include "sim_child.h"
#include "xkeys.h"
#include "xkeys_support.h"

namespace {

const std::string pad = "/dev/hidraw-script0";

bus_t *new_bus(const std::string &host, int idx)
{
    bus_t *bus = static_cast<bus_t *>(calloc(1, sizeof(bus_t)));
    snprintf(bus->host, sizeof(bus->host), "%s", host.c_str());
    bus->idx = idx;
    EXPECT_EQ(instance_trig_setup(bus), 0);
    return bus;
}

void drop_bus(bus_t *bus)
{
    instance_trig_release(bus);
    free(bus);
}

class Keypad : public testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_EQ(hid_layer_use(&hid_layer_script_backend), 0);
        hid_script_reset();
    }
    void TearDown() override
    {
        xkeys_release();
        hid_script_reset();
    }
};

std::string title_on_air(const std::string &url, int bus)
{
    pelmorabox_event_t *e = nullptr;
    pelmorabox_bus_state_t st = {};
    if (pelmorabox_get_event(url.c_str(), bus, 0, &e, &st) < 0 || !e)
        return "<none>";
    std::string t = e->title;
    pelmorabox_event_destroy(&e);
    return t;
}

std::vector<std::string> udp_takes(sim_child_t *sim)
{
    std::lock_guard<std::mutex> g(sim->lock);
    std::vector<std::string> out;
    for (const auto &l : sim->lines)
        if (l.rfind("call udp:", 0) == 0)
            out.push_back(l);
    return out;
}

} // namespace

TEST_F(Keypad, ArmKeysAndExecuteKeyTakeBothBusesOnTheServer)
{
    char dir[] = "/tmp/pelmora-keypad-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::ofstream(std::string(dir) + "/long.ply") << "\t \t\t\t00:10:00:00\tL\t#LIVE1\tFirst\t\n"
                                                     "\t \t\t\t00:10:00:00\tL\t#LIVE1\tSecond\t\n"
                                                     "\t \t\t\t00:10:00:00\tL\t#LIVE1\tThird\t\n";
    sim_child_t sim;
    ASSERT_EQ(sim_child_start(&sim, sim_child_bin(),
                              {"--automation", "0", "--buses", "2", "--data", dir, "--playlist", "long", "--autostart",
                               "--log-calls"}),
              0);
    pelmora_init(PELMORA_APP_NAME, PELMORA_VERSION);
    ASSERT_EQ(title_on_air(sim.url, 0), "First");
    ASSERT_EQ(title_on_air(sim.url, 1), "First");

    hid_script_plug(pad, 0x0405, 0x0C, 0x01, pad_descriptor());
    ASSERT_EQ(xkeys_init(), 0);
    EXPECT_EQ(xkeys_init(), -103);
    bus_t *a = new_bus(sim.hostport, 0);
    bus_t *b = new_bus(sim.hostport, 1);
    ASSERT_EQ(xkeys_callback(2, 1, xkeys_callback_proc, a), 0);
    ASSERT_EQ(xkeys_callback(2, 2, xkeys_callback_proc, b), 0);
    /* Keys in the third and fourth column: lit, but never arm anything. */
    ASSERT_EQ(xkeys_callback(3, 3, xkeys_callback_proc, a), 0);
    ASSERT_EQ(xkeys_callback(4, 4, xkeys_callback_proc, b), 0);
    EXPECT_EQ(xkeys_callback(9, 4, xkeys_callback_proc, a), -22);
    EXPECT_EQ(xkeys_callback(0, 1, xkeys_callback_proc, a), -22);
    EXPECT_EQ(xkeys_callback(1, 0, xkeys_callback_proc, a), -22);
    EXPECT_EQ(hid_script_writes(pad),
              (std::vector<hid_script_bytes_t>{light(1, 1), light(9, 1), light(18, 1), light(27, 1)}));
    ASSERT_EQ(xkeys_start(), 0);
    hid_script_clear_writes();

    /* Execute key alone, then the bound third- and fourth-column keys with
     * their row's execute key: nothing lights up, nothing is sent. */
    pad_send(pad, pad_keys(0, 0, 0, 0x02));
    pad_send(pad, pad_keys(0, 0, 0, 0));
    pad_send(pad, pad_keys(0, 0, 0x04, 0));
    pad_send(pad, pad_keys(0, 0, 0x04, 0x04));
    pad_send(pad, pad_keys(0, 0, 0, 0x08));
    pad_send(pad, pad_keys(0, 0, 0, 0));
    EXPECT_TRUE(hid_script_writes(pad).empty());

    /* Both arm keys of row 2 held: the execute key goes to state 2. */
    pad_send(pad, pad_keys(0x02, 0, 0, 0));
    pad_send(pad, pad_keys(0x02, 0x02, 0, 0));
    EXPECT_EQ(hid_script_writes(pad),
              (std::vector<hid_script_bytes_t>{light(1, 0), light(25, 1), light(9, 0), light(25, 2)}));
    hid_script_clear_writes();
    pad_send(pad, pad_keys(0x02, 0x02, 0, 0x02));
    EXPECT_EQ(hid_script_writes(pad), (std::vector<hid_script_bytes_t>{light(25, 0), light(1, 0), light(9, 0)}));
    pad_send(pad, pad_keys(0, 0, 0, 0));

    /* Bus 0 first, then bus 1, and nothing else reached the server. */
    for (int i = 0; i < 100 && udp_takes(&sim).size() < 2; i++)
        usleep(50000);
    EXPECT_EQ(udp_takes(&sim), (std::vector<std::string>{"call udp:PelmoraBox.Take bus=0 n=0 result=0",
                                                         "call udp:PelmoraBox.Take bus=1 n=0 result=0"}));
    EXPECT_EQ(title_on_air(sim.url, 0), "Second");
    EXPECT_EQ(title_on_air(sim.url, 1), "Second");

    EXPECT_EQ(xkeys_stop(), 0);
    xkeys_release();
    drop_bus(a);
    drop_bus(b);
    pelmora_release();
    EXPECT_EQ(sim_child_stop(&sim), 0);
    std::string rm = std::string("rm -rf ") + dir;
    EXPECT_EQ(system(rm.c_str()), 0);
}

TEST_F(Keypad, ReplugWorksAgainWithinTwoSeconds)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    socklen_t alen = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &alen);
    auto receive = [fd](int ms) {
        pollfd p = {fd, POLLIN, 0};
        char buf[256];
        if (poll(&p, 1, ms) <= 0)
            return std::string("<none>");
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        return n < 0 ? std::string("<error>") : std::string(buf, (size_t)n);
    };

    hid_script_plug(pad, 0x0405, 0x0C, 0x01, pad_descriptor());
    ASSERT_EQ(xkeys_init(), 0);
    bus_t *bus = new_bus("127.0.0.1:" + std::to_string(ntohs(addr.sin_port)), 7);
    ASSERT_EQ(xkeys_callback(1, 1, xkeys_callback_proc, bus), 0);
    ASSERT_EQ(xkeys_start(), 0);

    /* The arm key is held when the pad goes: nothing may fire on the way out. */
    pad_send(pad, pad_keys(0x01, 0, 0, 0));
    hid_script_unplug(pad);
    EXPECT_FALSE(hid_script_report(pad, pad_keys(0x01, 0, 0, 0x01)));
    EXPECT_EQ(receive(300), "<none>");

    hid_script_clear_writes();
    auto plugged = std::chrono::steady_clock::now();
    hid_script_plug(pad, 0x0405, 0x0C, 0x01, pad_descriptor());
    ASSERT_TRUE(hid_script_wait_opened(pad, 2, 2000));
    /* Queued now, read as soon as delivery is back on. */
    ASSERT_TRUE(hid_script_report(pad, pad_keys(0x01, 0, 0, 0)));
    ASSERT_TRUE(hid_script_report(pad, pad_keys(0x01, 0, 0, 0x01)));
    EXPECT_EQ(receive(2000), std::string("PelmoraBox.Take 7", 18));
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - plugged);
    EXPECT_LT(took.count(), 2000);
    ASSERT_TRUE(hid_script_wait_idle(pad, 2000));
    /* The new pad got its light back before the keys were handled. */
    auto w = hid_script_writes(pad);
    ASSERT_FALSE(w.empty());
    EXPECT_EQ(w.front(), light(0, 1));

    EXPECT_EQ(xkeys_stop(), 0);
    xkeys_release();
    drop_bus(bus);
    close(fd);
}

TEST_F(Keypad, NoUsableKeypadLeavesNoDevice)
{
    hid_script_fail_enumeration(true);
    EXPECT_EQ(xkeys_init(), -14);
    xkeys_release();

    hid_script_fail_enumeration(false);
    EXPECT_EQ(xkeys_init(), -2);
    EXPECT_EQ(xkeys_start(), -22);
    xkeys_release();

    /* Another usage page, or an output report of the wrong length. */
    hid_script_plug(pad, 0x0405, 0x01, 0x06, pad_descriptor());
    EXPECT_EQ(xkeys_init(), 0);
    EXPECT_EQ(xkeys_start(), -22);
    EXPECT_EQ(xkeys_stop(), -22);
    xkeys_release();
    hid_script_reset();
    hid_script_plug(pad, 0x0405, 0x0C, 0x01, pad_descriptor(20));
    EXPECT_EQ(xkeys_init(), 0);
    EXPECT_EQ(xkeys_start(), -22);
    EXPECT_TRUE(hid_script_writes(pad).empty());
}
