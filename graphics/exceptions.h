// The framework's exception classes. Exception is the root of every error
// the picture framework and the plug-in host raise; EAbort is the silent
// "stop this" that progress handlers raise.
#pragma once

#include <stdexcept>
#include <string>

namespace zumo {

class Exception : public std::runtime_error
{
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
};

class EAbort : public Exception
{
public:
    EAbort() : Exception("Operation aborted") {}
    using Exception::Exception;
};

// A picture that cannot be read, or a format nobody handles.
class EInvalidGraphic : public Exception
{
public:
    using Exception::Exception;
};

} // namespace zumo
