#include "audio/delay_track.h"

#include <algorithm>
#include <cmath>

namespace veskar {

DelayTrack::Update DelayTrack::add(double frame, double delayFrames) {
  if (points_.empty()) {
    points_.push_back({frame, delayFrames});
    outlier_.reset();
    refit();
    return Update::started;
  }
  if (std::abs(delayFrames - *delayAt(frame)) <= settings_.toleranceFrames) {
    points_.push_back({frame, delayFrames});
    outlier_.reset();
    while (points_.front().frame < frame - settings_.spanFrames) points_.pop_front();
    refit();
    return Update::followed;
  }
  if (outlier_ && std::abs(delayFrames - outlier_->delay) <= settings_.toleranceFrames) {
    points_.assign({*outlier_, {frame, delayFrames}});
    outlier_.reset();
    slope_ = 0;
    refit();
    return Update::jumped;
  }
  outlier_ = Point{frame, delayFrames};
  return Update::rejected;
}

std::optional<double> DelayTrack::delayAt(double frame) const {
  if (points_.empty()) return std::nullopt;
  return intercept_ + slope_ * (frame - origin_);
}

void DelayTrack::reset() {
  points_.clear();
  outlier_.reset();
  slope_ = 0;
}

void DelayTrack::refit() {
  // Least squares about the mean frame, which keeps the sums small.
  double meanFrame = 0;
  double meanDelay = 0;
  for (const Point& point : points_) {
    meanFrame += point.frame;
    meanDelay += point.delay;
  }
  const auto count = static_cast<double>(points_.size());
  meanFrame /= count;
  meanDelay /= count;
  origin_ = meanFrame;
  intercept_ = meanDelay;
  slope_ = 0;
  if (points_.back().frame - points_.front().frame < settings_.minimumSlopeSpanFrames) return;
  double covariance = 0;
  double variance = 0;
  for (const Point& point : points_) {
    covariance += (point.frame - meanFrame) * (point.delay - meanDelay);
    variance += (point.frame - meanFrame) * (point.frame - meanFrame);
  }
  if (variance > 0) slope_ = std::clamp(covariance / variance, -settings_.maximumDrift, settings_.maximumDrift);
}

}  // namespace veskar
