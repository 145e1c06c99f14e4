#include "powerquality/PowerExceptions.h"

GpuException::GpuException() : std::exception(), message() {}
GpuException::GpuException(const std::string& message) : std::exception(), message(message) {}
GpuException::GpuException(const char* message) : std::exception(), message(message) {}
GpuException::~GpuException() = default;
const char* GpuException::what() const noexcept { return message.c_str(); }

PowerErrorTooManyResults::PowerErrorTooManyResults(const char* message) : std::runtime_error(message) {}
PowerErrorTooManyResults::PowerErrorTooManyResults(const PowerErrorTooManyResults& other)
    : std::runtime_error(other) {}
PowerErrorTooManyResults::~PowerErrorTooManyResults() = default;
