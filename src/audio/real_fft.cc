#include "audio/real_fft.h"

#include <fftw3.h>

#include <mutex>
#include <string>

#include "audio/echo_cancellation_error.h"

namespace veskar {

namespace {

// FFTW's planner keeps global state: only fftwf_execute is safe to call from
// several threads at once.
std::mutex& plannerMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

RealFft::RealFft(std::size_t size) : size_(size) {
  std::lock_guard lock(plannerMutex());
  time_ = fftwf_alloc_real(size_);
  spectrum_ = reinterpret_cast<std::complex<float>*>(fftwf_alloc_complex(bins()));
  auto* spectrum = reinterpret_cast<fftwf_complex*>(spectrum_);
  const int n = static_cast<int>(size_);
  // ESTIMATE plans at once and the same way on every run; MEASURE would time
  // candidate algorithms while the helper starts and pick differently run to run.
  forwardPlan_ = time_ && spectrum_ ? fftwf_plan_dft_r2c_1d(n, time_, spectrum, FFTW_ESTIMATE) : nullptr;
  inversePlan_ = time_ && spectrum_ ? fftwf_plan_dft_c2r_1d(n, spectrum, time_, FFTW_ESTIMATE) : nullptr;
  if (!forwardPlan_ || !inversePlan_) {
    if (forwardPlan_) fftwf_destroy_plan(static_cast<fftwf_plan>(forwardPlan_));
    if (inversePlan_) fftwf_destroy_plan(static_cast<fftwf_plan>(inversePlan_));
    fftwf_free(time_);
    fftwf_free(spectrum_);
    throw EchoCancellerError("FFTW could not plan a transform of " + std::to_string(size_) + " points");
  }
}

RealFft::~RealFft() {
  std::lock_guard lock(plannerMutex());
  fftwf_destroy_plan(static_cast<fftwf_plan>(forwardPlan_));
  fftwf_destroy_plan(static_cast<fftwf_plan>(inversePlan_));
  fftwf_free(time_);
  fftwf_free(spectrum_);
}

void RealFft::forward() { fftwf_execute(static_cast<fftwf_plan>(forwardPlan_)); }

// The complex-to-real transform overwrites its input; callers treat the
// spectrum as spent after inverse().
void RealFft::inverse() { fftwf_execute(static_cast<fftwf_plan>(inversePlan_)); }

}  // namespace veskar
