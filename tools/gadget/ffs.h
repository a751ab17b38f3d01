// The FunctionFS side: mounting the instance, writing its descriptors to
// ep0, opening the endpoint files, and asynchronous reads of the OUT
// endpoint that complete through an eventfd, so one poll() loop can serve
// ep0 events, transfers and signals without threads.
#pragma once

#include <cstddef>
#include <linux/aio_abi.h>

struct ffs_function {
    char dir[128] = {};
    int ep0 = -1;
    int ep_out = -1;
    int ep_in = -1;
    bool mounted = false;
};

// Mounts FunctionFS instance name at dir (created if needed) and writes the
// descriptors and strings, after which the endpoint files exist and are
// opened. False with a message on stderr.
bool ffs_start(ffs_function &f, const char *name, const char *dir, bool os_desc);

// Closes the files and unmounts. Safe on a partly started function.
void ffs_stop(ffs_function &f);

// Asynchronous reads of one endpoint, at most one in flight.
struct ffs_reader {
    aio_context_t ctx = 0;
    int event_fd = -1;
    bool busy = false;
    iocb cb{};
};

bool reader_open(ffs_reader &r);
void reader_close(ffs_reader &r);

// Queues one read of up to len bytes into buf. The host transfer that fills
// it ends the read, so one completion is one transfer as long as len is the
// size of the transfer or ends on a short packet.
bool reader_submit(ffs_reader &r, int fd, unsigned char *buf, std::size_t len);

// After event_fd polled readable: the read's result (bytes, or -errno) in
// result. False when nothing had completed after all.
bool reader_collect(ffs_reader &r, long long &result);
