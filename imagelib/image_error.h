// The error every part of the picture library throws.
#pragma once

#include <stdexcept>
#include <string>

namespace imgctl {

// What went wrong, for a message that tells the user why: the file's data
// (damaged or unsupported), its size, or the system (error() holds errno).
enum class Fault { Data, NotPicture, TooLarge, System };

class ImageError : public std::runtime_error
{
public:
    explicit ImageError(const std::string& what, Fault fault = Fault::Data, int error = 0)
        : std::runtime_error(what), m_fault(fault), m_error(error)
    {
    }
    Fault fault() const { return m_fault; }
    int error() const { return m_error; } // errno for Fault::System, else 0

private:
    Fault m_fault;
    int m_error;
};

} // namespace imgctl
