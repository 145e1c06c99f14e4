// Grid wirings: the enumeration, the 16-byte wiring record and the read-only
// table of the eight wirings that every module looks its wiring up in.
#ifndef POWERQUALITY_POWERGRIDCONFIG_H
#define POWERQUALITY_POWERGRIDCONFIG_H

#include <cstddef>
#include <cstdint>

#include "powerquality/Export.h"
#include "powerquality/PowerGridConfigType.h"


// One wiring. Returned by value from exported methods, so its 16-byte layout
// is fixed.
class POWERQUALITY_API PowerGridConfig {
public:
    // type, phases, voltages, currents and whether the voltage channels are
    // line-to-line (delta). The line-to-line pair count and the flags follow
    // from these.
    PowerGridConfig(PowerGridConfigType type, unsigned char phases, unsigned char voltages, unsigned char currents,
                    bool delta);

    // The single-phase wiring of type 0.
    PowerGridConfig();

    PowerGridConfigType type;       // 0
    unsigned char phasesCount;      // 4
    unsigned char voltagesCount;    // 5
    unsigned char currentsCount;    // 6
    unsigned char lineToLineCount;  // 7: (phases - 1) * phases / 2
    bool starInput;                 // 8: voltage channels are phase-to-neutral
    bool deltaInput;                // 9: voltage channels are line-to-line
    bool neutralPresent;            // 10
    bool voltageChannelMissing;     // 11: phases > voltages
    bool currentChannelMissing;     // 12: phases > currents
};

static_assert(sizeof(PowerGridConfigType) == 4, "PowerGridConfigType is a signed 32-bit value");
static_assert(sizeof(PowerGridConfig) == 16, "PowerGridConfig is 16 bytes");
static_assert(offsetof(PowerGridConfig, type) == 0, "PowerGridConfig layout");
static_assert(offsetof(PowerGridConfig, phasesCount) == 4, "PowerGridConfig layout");
static_assert(offsetof(PowerGridConfig, voltagesCount) == 5, "PowerGridConfig layout");
static_assert(offsetof(PowerGridConfig, currentsCount) == 6, "PowerGridConfig layout");
static_assert(offsetof(PowerGridConfig, lineToLineCount) == 7, "PowerGridConfig layout");
static_assert(offsetof(PowerGridConfig, starInput) == 8, "PowerGridConfig layout");
static_assert(offsetof(PowerGridConfig, deltaInput) == 9, "PowerGridConfig layout");
static_assert(offsetof(PowerGridConfig, neutralPresent) == 10, "PowerGridConfig layout");
static_assert(offsetof(PowerGridConfig, voltageChannelMissing) == 11, "PowerGridConfig layout");
static_assert(offsetof(PowerGridConfig, currentChannelMissing) == 12, "PowerGridConfig layout");

// Number of wirings in powerGridConfigs.
#define POWERQUALITY_GRID_CONFIG_COUNT 8

// The table of wirings, entry t describing PowerGridConfigType t. Built before
// any module exists and never written afterwards, so it is read without a
// lock. It is a plain array rather than a hash table so that its layout is as
// stable as the records in it; a type outside 0..7 has no entry, and every
// lookup of the library answers it with PowerGridConfig() (the single-phase
// wiring, type 0).
extern POWERQUALITY_API const PowerGridConfig powerGridConfigs[POWERQUALITY_GRID_CONFIG_COUNT];

#endif
