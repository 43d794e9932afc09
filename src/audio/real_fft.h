// A real-to-complex discrete Fourier transform of one fixed length and its
// inverse, in single precision. The only user of FFTW.
//
// One object is driven from one thread at a time; objects may live on
// different threads (plan creation, which FFTW does not make thread-safe,
// is serialised inside).
#ifndef VESKAR_AUDIO_REAL_FFT_H_
#define VESKAR_AUDIO_REAL_FFT_H_

#include <complex>
#include <cstddef>
#include <span>

namespace veskar {

class RealFft {
 public:
  // REQUIRES: size >= 2. Throws EchoCancellerError when FFTW cannot plan.
  explicit RealFft(std::size_t size);
  ~RealFft();
  RealFft(const RealFft&) = delete;
  RealFft& operator=(const RealFft&) = delete;

  std::size_t size() const { return size_; }
  std::size_t bins() const { return size_ / 2 + 1; }

  // The time-domain buffer (size() values) that forward() reads and
  // inverse() writes, and the spectrum (bins() values) forward() writes and
  // inverse() reads. inverse() is unnormalised: forward then inverse
  // multiplies by size().
  std::span<float> time() { return {time_, size_}; }
  std::span<std::complex<float>> spectrum() { return {spectrum_, bins()}; }

  void forward();
  void inverse();

 private:
  const std::size_t size_;
  float* time_;
  std::complex<float>* spectrum_;
  void* forwardPlan_;
  void* inversePlan_;
};

}  // namespace veskar

#endif  // VESKAR_AUDIO_REAL_FFT_H_
