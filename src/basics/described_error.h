// The base of every failure the helper throws: an exception that carries
// its own description, which becomes the message the host reads.
#ifndef VESKAR_BASICS_DESCRIBED_ERROR_H_
#define VESKAR_BASICS_DESCRIBED_ERROR_H_

#include <exception>
#include <string>
#include <utility>

namespace veskar {

// Unlike std::runtime_error, the text is a plain std::string, so a copy
// handed to another thread (through an exception_ptr) shares no
// reference-counted buffer with the original.
class DescribedError : public std::exception {
 public:
  explicit DescribedError(std::string description) : description_(std::move(description)) {}
  const char* what() const noexcept override { return description_.c_str(); }
  const std::string& description() const { return description_; }

 private:
  std::string description_;
};

}  // namespace veskar

#endif  // VESKAR_BASICS_DESCRIBED_ERROR_H_
