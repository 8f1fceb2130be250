// Error kinds shared by every computing module.
//
// An operation either returns its value or throws OpError carrying one
// message; the module boundary turns that message into the Python exception
// class assigned to the calling function. Checks that treat an argument as a
// programming error throw Panic instead; the boundary raises PanicException.
#pragma once

#include <stdexcept>
#include <string>

namespace lvx {

class OpError : public std::runtime_error {
 public:
  explicit OpError(const std::string& message) : std::runtime_error(message) {}
};

class Panic : public std::logic_error {
 public:
  explicit Panic(const std::string& message) : std::logic_error(message) {}
};

[[noreturn]] inline void fail(const std::string& message) {
  throw OpError(message);
}
[[noreturn]] inline void panic(const std::string& message) {
  throw Panic(message);
}

}  // namespace lvx
