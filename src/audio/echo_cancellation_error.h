// The error type of the echo-cancellation machinery (the canceller library
// and the transforms under the delay estimator).
#ifndef VESKAR_AUDIO_ECHO_CANCELLATION_ERROR_H_
#define VESKAR_AUDIO_ECHO_CANCELLATION_ERROR_H_

#include "basics/described_error.h"

namespace veskar {

// what() is the failing library's text.
class EchoCancellerError : public DescribedError {
 public:
  using DescribedError::DescribedError;
};

}  // namespace veskar

#endif  // VESKAR_AUDIO_ECHO_CANCELLATION_ERROR_H_
