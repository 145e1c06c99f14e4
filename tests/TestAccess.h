// Ways for tests to reach the internals of a module.
#ifndef POWERQUALITY_TESTS_TESTACCESS_H
#define POWERQUALITY_TESTS_TESTACCESS_H

#include "module/PowerModuleImpl.h"
#include "powerquality/PowerModule.h"

struct PowerModuleTestAccess {
    static PowerModule::PowerModuleImpl& impl(PowerModule& module) { return *module.impl; }
    static bool empty(const PowerModule& module) { return module.impl == nullptr; }
};

struct PowerModuleImplTestAccess {
    static std::shared_ptr<PowerResultsQueueItem> nextQueueItem(PowerModule::PowerModuleImpl& impl) {
        return impl.getNextQueueItem();
    }
    static void calculateThd(PowerModule::PowerModuleImpl& impl, PowerResultsThd& result, double fundamental,
                             double rms, unsigned short item, unsigned int index) {
        impl.calculateThd(result, fundamental, rms, item, index);
    }
};

struct PowerBuffersTestAccess {
    static void addFftItems(PowerBuffers& buffers, unsigned short first, unsigned short count) {
        buffers.addFftItems(first, count);
    }
    static void addHarmonicItems(PowerBuffers& buffers, unsigned short first, unsigned short count) {
        buffers.addHarmonicItems(first, count, false);
    }
    static void addSymmetricItems(PowerBuffers& buffers, unsigned short first) { buffers.addSymmetricItems(first); }
};

#endif
