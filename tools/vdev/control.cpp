// The control server, partner of shim.cpp (see there). Reports arrive on the
// default main context, which the command runner turns.
#include "tools/vdev/control.h"

#include <umockdev.h>

#include <glib-unix.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace vdev
{

namespace
{

// The plug-in whose node is /dev/bus/usb/BBB/DDD, where bus_devnum is
// BBB << 8 | DDD.
plug_in *plug_in_opened(std::uint32_t bus_devnum)
{
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", bus_devnum >> 8, bus_devnum & 0xFF);
    return plug_in_at(node);
}

// A pause belongs to the account of each plug-in its own process holds open
// and has claimed: another process's device, or the same device before it
// was plugged in again, knows nothing of it.
void record_pause(const connection &c, unsigned seconds)
{
    account::record_pause(state.pauses, seconds);
    for (virtual_device &dev : state.devices) {
        for (plug_in &p : dev.plug_ins) {
            if (p.claimed && std::find(c.held.begin(), c.held.end(), &p) != c.held.end())
                account::record_pause(p.rec, seconds);
        }
    }
}

void record_open_or_close(connection &c, char kind, std::uint32_t bus_devnum)
{
    plug_in *dev = plug_in_opened(bus_devnum);
    if (dev == nullptr)
        return;
    if (kind == 'O') {
        dev->opens += 1;
        c.held.push_back(dev);
        return;
    }
    dev->closes += 1;
    if (auto it = std::find(c.held.begin(), c.held.end(), dev); it != c.held.end())
        c.held.erase(it);
}

void drop_connection(connection &c)
{
    close(c.fd);
    control_server *s = c.owner;
    s->connections.remove_if([&](const connection &other) { return &other == &c; });
}

// A report from the shim in one process of the command: a pause ('P',
// seconds), or an open ('O') or close ('C') of a device node. The process
// waits for the answer, so the report lands in order with its transfers.
gboolean on_report(gint fd, GIOCondition, gpointer user)
{
    auto *c = static_cast<connection *>(user);
    unsigned char msg[5];
    if (recv(fd, msg, sizeof msg, MSG_WAITALL) != static_cast<ssize_t>(sizeof msg)) {
        drop_connection(*c); // the process has ended
        return G_SOURCE_REMOVE;
    }
    std::uint32_t value;
    std::memcpy(&value, msg + 1, sizeof value);
    char answer = 'R';
    {
        std::lock_guard<std::mutex> hold(state.lock);
        if (msg[0] == 'P') {
            record_pause(*c, value);
            answer = c->owner->fast_pauses ? 'F' : 'R';
        } else {
            record_open_or_close(*c, static_cast<char>(msg[0]), value);
        }
    }
    if (send(fd, &answer, 1, MSG_NOSIGNAL) != 1) {
        drop_connection(*c);
        return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
}

gboolean on_connect(gint fd, GIOCondition, gpointer user)
{
    auto *s = static_cast<control_server *>(user);
    int conn = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0)
        return G_SOURCE_CONTINUE;
    connection &c = s->connections.emplace_back();
    c.owner = s;
    c.fd = conn;
    c.watch = g_unix_fd_add(conn, G_IO_IN, on_report, &c);
    return G_SOURCE_CONTINUE;
}

} // namespace

bool listen_for_reports(UMockdevTestbed *testbed, control_server &server, std::string &path,
                        std::string &error)
{
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    path = std::string(root) + "/vdev-control";
    g_free(root);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        error = "the path of the control socket is too long (TMPDIR?): " + path;
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    server.listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server.listen_fd < 0 ||
        bind(server.listen_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(server.listen_fd, SOMAXCONN) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        return false;
    }
    server.listen_watch = g_unix_fd_add(server.listen_fd, G_IO_IN, on_connect, &server);
    return true;
}

void stop_listening(control_server &server)
{
    for (connection &c : server.connections) {
        g_source_remove(c.watch);
        close(c.fd);
    }
    server.connections.clear();
    if (server.listen_watch != 0)
        g_source_remove(server.listen_watch);
    if (server.listen_fd >= 0)
        close(server.listen_fd);
}

} // namespace vdev
