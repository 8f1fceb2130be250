// Error kinds shared by every computing module.
//
// An operation either returns its value or throws OpError carrying one
// message; the module boundary turns that message into the Python exception
// class assigned to the calling function. Checks that treat an argument as a
// programming error throw Panic instead; the boundary raises PanicException.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

namespace lvx {

// A failure carrying its message. what() ends at the first NUL, and a name
// quoted in a message may hold one; message() is the whole text (shared, so
// that copying the exception stays noexcept).
template <class Base>
class Failure : public Base {
 public:
  explicit Failure(const std::string& message)
      : Base(message), message_(std::make_shared<const std::string>(message)) {}
  const std::string& message() const noexcept { return *message_; }

 private:
  std::shared_ptr<const std::string> message_;
};

class OpError : public Failure<std::runtime_error> {
 public:
  using Failure::Failure;
};

class Panic : public Failure<std::logic_error> {
 public:
  using Failure::Failure;
};

[[noreturn]] inline void fail(const std::string& message) {
  throw OpError(message);
}
[[noreturn]] inline void panic(const std::string& message) {
  throw Panic(message);
}

}  // namespace lvx
