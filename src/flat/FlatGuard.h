// The one place where exceptions become status codes of the flat interface.
// Clauses in this order: GpuException (3, reported through the registered
// reporter with code 1 and its message), PowerErrorTooManyResults (2), any
// other exception (1). Nothing ever crosses the C boundary.
//
// Every failing call also records its message for the calling thread, where
// getLastErrorMessage finds it: the exception's what() text ("unknown error"
// for an exception that is not a std::exception), cut to
// lastErrorMessageCapacity - 1 characters. The message lives in a per-thread
// character array, so recording it allocates nothing and cannot fail; it stays
// until the same thread's next failing call overwrites it. A successful call
// leaves it as it is, and a thread that never failed reads "". The array is
// an inline function's static, one per thread in each shared object: every
// flat function is instantiated inside the library, so they all share the one
// that getLastErrorMessage reads.
#ifndef POWERQUALITY_FLAT_FLATGUARD_H
#define POWERQUALITY_FLAT_FLATGUARD_H

#include <cstddef>
#include <cstdint>
#include <exception>
#include <stdexcept>

#include "powerquality/PowerExceptions.h"
#include "powerquality/PowerModuleApi.h"

namespace powerquality {

constexpr std::size_t lastErrorMessageCapacity = 512;

// The calling thread's last failure message; one array per thread for the
// whole library (an inline function's static is a single object).
inline char* lastErrorMessage() noexcept {
    thread_local char message[lastErrorMessageCapacity] = {};
    return message;
}

inline void recordErrorMessage(const char* text) noexcept {
    char* message = lastErrorMessage();
    std::size_t n = 0;
    if (text != nullptr) {
        for (; n + 1 < lastErrorMessageCapacity && text[n] != '\0'; ++n) {
            message[n] = text[n];
        }
    }
    message[n] = '\0';
}

// The object behind a flat handle; a null handle fails with message.
template <class T, class Handle>
T& objectOf(Handle handle, const char* message) {
    if (handle == nullptr) {
        throw std::invalid_argument(message);
    }
    return *reinterpret_cast<T*>(handle);
}

// An out-parameter or array the call cannot do without; null fails with
// message.
template <class T>
T& requiredOr(T* pointer, const char* message) {
    if (pointer == nullptr) {
        throw std::invalid_argument(message);
    }
    return *pointer;
}

template <class F>
int32_t guarded(F&& call) noexcept {
    try {
        call();
        return 0;
    } catch (const GpuException& e) {
        recordErrorMessage(e.what());
        const PowerErrorReporter reporter = reportErrorCallbackFunction;
        if (reporter != nullptr) {
            reporter(1, e.what());
        }
        return 3;
    } catch (const PowerErrorTooManyResults& e) {
        recordErrorMessage(e.what());
        return 2;
    } catch (const std::exception& e) {
        recordErrorMessage(e.what());
        return 1;
    } catch (...) {
        recordErrorMessage("unknown error");
        return 1;
    }
}

// The body of a create function: the handle of the object make() returns,
// or null when it throws, with the message recorded as for any failing call.
template <class Handle, class Make>
Handle createdOrNull(Make&& make) noexcept {
    Handle handle = nullptr;
    guarded([&] { handle = reinterpret_cast<Handle>(make()); });
    return handle;
}

// The body of a destroy function: a null handle is ignored; always 0.
template <class T, class Handle>
int32_t destroyed(Handle handle) noexcept {
    delete reinterpret_cast<T*>(handle);
    return 0;
}

}  // namespace powerquality

#endif
