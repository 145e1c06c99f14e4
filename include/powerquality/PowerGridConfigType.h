/* The grid wirings, one enumeration for C and C++ callers. Stored as a signed
 * 32-bit value. */
#ifndef POWERQUALITY_POWERGRIDCONFIGTYPE_H
#define POWERQUALITY_POWERGRIDCONFIGTYPE_H

#include <stdint.h>

#ifdef __cplusplus
enum PowerGridConfigType : int32_t {
#else
typedef enum PowerGridConfigType {
#endif
    SinglePhaseDefault = 0,         /* one phase, one voltage, one current */
    ThreePhaseStar = 1,             /* three phase-to-neutral voltages, three currents */
    ThreePhaseStarTwoCurrents = 2,  /* three phase-to-neutral voltages, two currents */
    ThreePhaseDelta = 3,            /* three line-to-line voltages, three currents */
    ThreePhaseDeltaTwoCurrents = 4, /* three line-to-line voltages, two currents */
    TwoPhaseStar = 5,               /* two phase-to-neutral voltages, two currents */
    ThreePhaseDeltaTwoVoltages = 6, /* three phases, two line-to-line voltages, two currents */
    SinglePhase = 7                 /* as SinglePhaseDefault, apart from its type */
#ifdef __cplusplus
};
#else
} PowerGridConfigType;
_Static_assert(sizeof(PowerGridConfigType) == 4, "PowerGridConfigType is a 32-bit value");
#endif

#endif
