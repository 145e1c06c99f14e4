// The one place where exceptions become status codes of the flat interface.
// Clauses in this order: GpuException (3, reported through the registered
// reporter with code 1 and its message), PowerErrorTooManyResults (2), any
// other exception (1). Nothing ever crosses the C boundary.
#ifndef POWERQUALITY_MODULE_FLATGUARD_H
#define POWERQUALITY_MODULE_FLATGUARD_H

#include <cstdint>

#include "powerquality/PowerExceptions.h"
#include "powerquality/PowerModuleApi.h"

namespace powerquality {

template <class F>
int32_t guarded(F&& call) noexcept {
    try {
        call();
        return 0;
    } catch (const GpuException& e) {
        const PowerErrorReporter reporter = reportErrorCallbackFunction;
        if (reporter != nullptr) {
            reporter(1, e.what());
        }
        return 3;
    } catch (const PowerErrorTooManyResults&) {
        return 2;
    } catch (...) {
        return 1;
    }
}

}  // namespace powerquality

#endif
