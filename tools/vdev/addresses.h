// Device addresses on one bus, given as the kernel gives them.
#pragma once

#include <set>

namespace vdev
{

// Address 1 is the root hub's. A new device takes the next free address
// after the last one given, wrapping after 127, so a device plugged in again
// gets a new address, and one is used again only after the others.
class bus_addresses
{
  public:
    // The address taken; 0 when all 127 are in use.
    unsigned take();
    void release(unsigned address);

  private:
    std::set<unsigned> used_{1};
    unsigned next_ = 2;
};

} // namespace vdev
