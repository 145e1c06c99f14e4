// The library's two exception types. Inside the library failures are
// exceptions; the flat interface turns them into status codes (3 for
// GpuException, 2 for PowerErrorTooManyResults, 1 for anything else).
#ifndef POWERQUALITY_POWEREXCEPTIONS_H
#define POWERQUALITY_POWEREXCEPTIONS_H

#include <exception>
#include <stdexcept>
#include <string>

#include "powerquality/Export.h"

// Error of a device operation. The host-only library never raises it itself;
// it is part of the interface shared with device builds.
class POWERQUALITY_API GpuException : public std::exception {
public:
    GpuException();
    explicit GpuException(const std::string& message);
    explicit GpuException(const char* message);
    ~GpuException() override;
    const char* what() const noexcept override;

    std::string message;
};

// More windowed results were ready than the caller's array holds.
class POWERQUALITY_API PowerErrorTooManyResults : public virtual std::runtime_error {
public:
    explicit PowerErrorTooManyResults(const char* message);
    PowerErrorTooManyResults(const PowerErrorTooManyResults& other);
    ~PowerErrorTooManyResults() override;
};

#endif
