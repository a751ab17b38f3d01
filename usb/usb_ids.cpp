// The device table and its lookup. FLASHER_TABLE_VID and FLASHER_TABLE_PID
// are set by the build for each program (the programs share the vendor ID and
// differ in the product ID); FLASHER_TABLE_PID2 adds a second entry, for the
// builds that test a table of two.
#include "usb/transport.h"

#if !defined(FLASHER_TABLE_VID) || !defined(FLASHER_TABLE_PID)
#error "the build must define FLASHER_TABLE_VID and FLASHER_TABLE_PID"
#endif

const usb_id usb_ids[] = {
    {FLASHER_TABLE_VID, FLASHER_TABLE_PID},
#ifdef FLASHER_TABLE_PID2
    {FLASHER_TABLE_VID, FLASHER_TABLE_PID2},
#endif
    {0, 0},
};

int match_usb_ids(std::uint16_t vid, std::uint16_t pid)
{
    for (const usb_id *id = usb_ids; id->vid != 0; ++id) {
        if (id->vid == vid && id->pid == pid)
            return 1;
    }
    return 0;
}
