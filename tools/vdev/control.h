// The control server: the partner of shim.cpp. Each process of the command
// reports its pauses, and its opens and closes of device nodes, over a unix
// socket, and waits for the answer.
#pragma once

#include "tools/vdev/vdev.h"

#include <glib.h>

#include <list>
#include <string>
#include <vector>

namespace vdev
{

struct control_server;

// One process of the command, connected on its first report. It holds open
// the device nodes it reported opened and not yet closed.
struct connection {
    control_server *owner = nullptr;
    int fd = -1;
    guint watch = 0;
    std::vector<plug_in *> held; // one entry per open node
};

struct control_server {
    bool fast_pauses = false; // the answer to a pause: return at once
    int listen_fd = -1;
    guint listen_watch = 0;
    std::list<connection> connections;
};

// Listens on a socket in the testbed's own directory (private to this user,
// and removed with the testbed), served by the default main context. Sets
// `path` to the socket's path; false with a message on failure.
bool listen_for_reports(UMockdevTestbed *testbed, control_server &server, std::string &path,
                        std::string &error);

void stop_listening(control_server &server);

} // namespace vdev
