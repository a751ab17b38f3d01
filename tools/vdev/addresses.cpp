#include "tools/vdev/addresses.h"

namespace vdev
{

namespace
{
constexpr unsigned max_address = 127;
}

unsigned bus_addresses::take()
{
    for (unsigned tried = 0; tried < max_address; ++tried) {
        const unsigned address = next_;
        next_ = address >= max_address ? 1 : address + 1;
        if (used_.insert(address).second)
            return address;
    }
    return 0;
}

void bus_addresses::release(unsigned address)
{
    used_.erase(address);
}

} // namespace vdev
