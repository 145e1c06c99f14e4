/* VoltageEvent: one voltage dip, swell or interruption, as the voltage event
 * detector hands it out. One declaration for C and C++ callers; read by
 * layout, 40 bytes, little-endian, doubles aligned to 8 on every target.
 *
 * Offset  Type      Field
 *   0     int32     type            VoltageEventDip, VoltageEventSwell or VoltageEventInterruption
 *   4     uint32    phases          bit p set when phase p took part
 *   8     double    startTime       seconds, on the time base of the period records
 *  16     double    duration        seconds
 *  24     double    extremeVoltage  volts: the residual voltage (lowest RMS value of any
 *                                   phase) of a dip or interruption, the highest of a swell
 *  32     double    extremePercent  extremeVoltage in percent of the declared voltage */
#ifndef POWERQUALITY_VOLTAGEEVENT_H
#define POWERQUALITY_VOLTAGEEVENT_H

#include <stddef.h>
#include <stdint.h>

#include "powerquality/Export.h"

#ifdef __cplusplus
enum VoltageEventType : int32_t {
#else
typedef enum VoltageEventType {
#endif
    VoltageEventDip = 1,
    VoltageEventSwell = 2,
    VoltageEventInterruption = 3
#ifdef __cplusplus
};
#else
} VoltageEventType;
#endif

typedef struct VoltageEvent {
    int32_t type;
    uint32_t phases;
    POWERQUALITY_ALIGN8 double startTime;
    POWERQUALITY_ALIGN8 double duration;
    POWERQUALITY_ALIGN8 double extremeVoltage;
    POWERQUALITY_ALIGN8 double extremePercent;
} VoltageEvent;

#ifdef __cplusplus
#define POWERQUALITY_VOLTAGEEVENT_ASSERT static_assert
#else
#define POWERQUALITY_VOLTAGEEVENT_ASSERT _Static_assert
#endif
POWERQUALITY_VOLTAGEEVENT_ASSERT(sizeof(VoltageEvent) == 40, "VoltageEvent is 40 bytes");
POWERQUALITY_VOLTAGEEVENT_ASSERT(offsetof(VoltageEvent, type) == 0, "VoltageEvent layout");
POWERQUALITY_VOLTAGEEVENT_ASSERT(offsetof(VoltageEvent, phases) == 4, "VoltageEvent layout");
POWERQUALITY_VOLTAGEEVENT_ASSERT(offsetof(VoltageEvent, startTime) == 8, "VoltageEvent layout");
POWERQUALITY_VOLTAGEEVENT_ASSERT(offsetof(VoltageEvent, duration) == 16, "VoltageEvent layout");
POWERQUALITY_VOLTAGEEVENT_ASSERT(offsetof(VoltageEvent, extremeVoltage) == 24, "VoltageEvent layout");
POWERQUALITY_VOLTAGEEVENT_ASSERT(offsetof(VoltageEvent, extremePercent) == 32, "VoltageEvent layout");
#undef POWERQUALITY_VOLTAGEEVENT_ASSERT

#endif
