// The drivers of the two plug-in module slots, as the poller sees them. The
// line-module folder derives the drivers; the configuration creates them.
#pragma once

#include <atomic>

class Module {
public:
    virtual ~Module() = default;
    // The configuration was applied again for this slot.
    virtual void restart() {}
    // Once per poller pass, on the poller thread.
    virtual void poll() {}
};

// Slot 1 and slot 2 (index 0 and 1); null where no driver exists. Set by the
// configuration (poller thread, web writes): the first driver stored stays,
// never deleted.
extern std::atomic<Module*> moduleTable[2];

// The module type code found in each slot at the last FPGA load (31: empty).
extern std::atomic<int> moduleSlotTypes[2];

enum ModuleType {
    MODULE_R485 = 4,
    MODULE_FO01 = 7,
    MODULE_R232 = 8,
    MODULE_FS01 = 9,
    MODULE_EM01 = 10,
    MODULE_R422 = 12,
    MODULE_NONE = 31,
};
