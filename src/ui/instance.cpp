/* The application record's own helpers: the executable's directory and the
 * keypad's take trigger of a bus. */
#include "instance.h"

#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "strl.h"

namespace {

char bin_dir[4096];

} // namespace

void instance_bin_dir_set(const char *argv0)
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n > 0)
        path[n] = 0;
    else
        strlcpy(path, argv0 ? argv0 : "", sizeof(path));
    char *cut = strrchr(path, '\\');
    if (!cut)
        cut = strrchr(path, '/');
    if (cut)
        *cut = 0;
    else
        strlcpy(path, ".", sizeof(path));
    strlcpy(bin_dir, path, sizeof(bin_dir));
}

const char *instance_bin_dir(void)
{
    return bin_dir;
}

int instance_trig_setup(bus_t *bus)
{
    std::string host(bus->host);
    size_t colon = host.find(':');
    if (colon == std::string::npos)
        return -22;
    int port = (int)strtol(host.c_str() + colon + 1, nullptr, 10);
    host.resize(colon);

    struct addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo *res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) || !res)
        return -2;

    auto *trig = static_cast<trig_socket_t *>(calloc(1, sizeof(trig_socket_t)));
    if (!trig) {
        freeaddrinfo(res);
        return -12;
    }
    bus->trig = trig;
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s >= 0) {
        trig->addr.sin_family = AF_INET;
        trig->addr.sin_addr = reinterpret_cast<struct sockaddr_in *>(res->ai_addr)->sin_addr;
        trig->addr.sin_port = htons((uint16_t)port);
        /* Descriptor 0 means "no socket" in the record: keep a real one off it. */
        if (s == 0) {
            int s2 = dup(s);
            close(s);
            s = s2;
        }
        trig->socket = s > 0 ? s : 0;
    }
    freeaddrinfo(res);
    return 0;
}

void instance_trig_release(bus_t *bus)
{
    if (!bus->trig)
        return;
    if (bus->trig->socket)
        close(bus->trig->socket);
    free(bus->trig);
    bus->trig = nullptr;
}

int xkeys_callback_proc(void *cookie, int row, int col)
{
    (void)row;
    (void)col;
    bus_t *bus = static_cast<bus_t *>(cookie);
    if (!bus || !bus->trig || !bus->trig->socket)
        return 0;
    char msg[128];
    snprintf(msg, sizeof(msg), "PelmoraBox.Take %d", bus->idx);
    sendto(bus->trig->socket, msg, strlen(msg) + 1, 0, reinterpret_cast<struct sockaddr *>(&bus->trig->addr),
           sizeof(bus->trig->addr));
    return 0;
}
