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
};

struct PowerBuffersTestAccess {
    static void addFftItems(PowerBuffers& b, unsigned short first, unsigned short n) { b.addFftItems(first, n); }
    static void addHarmonicItems(PowerBuffers& b, unsigned short first, unsigned short n) {
        b.addHarmonicItems(first, n, false);
    }
    static void addSymmetricItems(PowerBuffers& buffers, unsigned short first) { buffers.addSymmetricItems(first); }
};

#endif
