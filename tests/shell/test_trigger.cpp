// The keypad trigger of a bus: "PelmoraBox.Take <idx>" and its zero byte as
// one UDP datagram to the bus's automation host and port.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "instance.h"
#include "xkeys.h"

namespace {

struct udp_listener
{
    int fd = -1;
    int port = 0;
    udp_listener()
    {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
        socklen_t len = sizeof(a);
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~udp_listener() { close(fd); }
    /* The datagram received within ms, or "<none>". */
    std::string receive(int ms)
    {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return "<none>";
        char buf[256];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        return n < 0 ? "<error>" : std::string(buf, (size_t)n);
    }
};

bus_t *new_bus(const std::string &host, int idx)
{
    bus_t *bus = static_cast<bus_t *>(calloc(1, sizeof(bus_t)));
    snprintf(bus->host, sizeof(bus->host), "%s", host.c_str());
    bus->idx = idx;
    return bus;
}

} // namespace

TEST(Trigger, KeypadKeySendsTakeWithTerminatingZero)
{
    udp_listener l;
    bus_t *a = new_bus("127.0.0.1:" + std::to_string(l.port), 0);
    bus_t *b = new_bus("localhost:" + std::to_string(l.port), 5);
    ASSERT_EQ(instance_trig_setup(a), 0);
    ASSERT_EQ(instance_trig_setup(b), 0);
    ASSERT_NE(a->trig, nullptr);
    EXPECT_GT(a->trig->socket, 0);

    ASSERT_EQ(xkeys_callback(2, 1, xkeys_callback_proc, a), 0);
    ASSERT_EQ(xkeys_callback(2, 2, xkeys_callback_proc, b), 0);
    EXPECT_EQ(xkeys_fire(2, 1), 0);
    EXPECT_EQ(l.receive(2000), std::string("PelmoraBox.Take 0", 18));
    EXPECT_EQ(xkeys_fire(2, 2), 0);
    EXPECT_EQ(l.receive(2000), std::string("PelmoraBox.Take 5", 18));
    EXPECT_EQ(xkeys_fire(3, 1), -2);

    instance_trig_release(a);
    instance_trig_release(b);
    EXPECT_EQ(a->trig, nullptr);
    xkeys_release();
    free(a);
    free(b);
}

TEST(Trigger, HostWithoutPortOrUnknownHostGetsNoTarget)
{
    udp_listener l;
    bus_t *a = new_bus("127.0.0.1", 1);
    EXPECT_LT(instance_trig_setup(a), 0);
    EXPECT_EQ(a->trig, nullptr);
    EXPECT_EQ(xkeys_callback_proc(a, 0, 3), 0);

    bus_t *b = new_bus("no-such-host.invalid:" + std::to_string(l.port), 1);
    EXPECT_LT(instance_trig_setup(b), 0);
    EXPECT_EQ(b->trig, nullptr);
    EXPECT_EQ(xkeys_callback_proc(b, 0, 3), 0);
    EXPECT_EQ(l.receive(200), "<none>");
    free(a);
    free(b);
}

TEST(Trigger, KeysOutsideThePadAreRefused)
{
    EXPECT_EQ(xkeys_callback(0, 1, xkeys_callback_proc, nullptr), -22);
    EXPECT_EQ(xkeys_callback(1, 0, xkeys_callback_proc, nullptr), -22);
    EXPECT_EQ(xkeys_callback(9, 4, xkeys_callback_proc, nullptr), -22);
    EXPECT_EQ(xkeys_callback(8, 4, xkeys_callback_proc, nullptr), 0);
    xkeys_release();
}
