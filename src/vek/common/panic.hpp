// Internal failure of the native core ("panic"). Thrown anywhere in the core,
// including inside pool workers, and turned into PanicException at the Python
// boundary with what() as its message.
#pragma once

#include <stdexcept>
#include <string>

namespace vek {

class Panic : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void panic(const std::string& message) { throw Panic(message); }

// Raised when a long-running operation is told to stop by its caller's
// "keep going?" callback (for example on Ctrl-C). Not an error of the core.
class Interrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "interrupted"; }
};

}  // namespace vek
