#pragma once
// The failures this layer raises on its own, which callers tell apart by kind:
// a missing object (a file or folder that could not be made or opened) and an index out of range.

#include <stdexcept>
#include <string>

namespace platform {

class NilObjectException : public std::runtime_error {
 public:
    explicit NilObjectException(const std::string& what) : std::runtime_error(what) {}
};

class OutOfBoundsException : public std::out_of_range {
 public:
    explicit OutOfBoundsException(const std::string& what) : std::out_of_range(what) {}
};

}  // namespace platform
