// The finishing stage of windowed (general) results.
#include "module/PowerModuleImpl.h"

std::vector<PowerResultsGeneral> PowerModule::PowerModuleImpl::getResults(int maxCount) {
    std::vector<PowerResultsGeneral> results;
    std::lock_guard<std::mutex> lock(resultsMutex);
    (void)maxCount;
    return results;
}
