// Initialising and clearing Windows slots. A slot given to a process starts
// without a sample, whether it was new, free or reclaimed from a process that
// has gone: the first since-last-call figure of its owner then measures from
// the owner's own creation, never against another process's times.
#include "procload/slot_table.h"

void initialiseSlot(LastProcessSlot* slot, int32_t pid)
{
    *slot = LastProcessSlot{};
    slot->id = pid;
}

void clearSlot(LastProcessSlot* slot)
{
    *slot = LastProcessSlot{};
}
