#include "windowed/Kernels.h"

#include <cstdlib>
#include <cstring>

namespace powerquality {

bool avx2Kernels() {
#if POWERQUALITY_AVX2_KERNELS
    static const bool chosen = [] {
        const char* kernels = std::getenv("POWERQUALITY_KERNELS");
        if (kernels != nullptr && std::strcmp(kernels, "baseline") == 0) {
            return false;
        }
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return chosen;
#else
    return false;
#endif
}

}  // namespace powerquality
