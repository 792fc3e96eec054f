// Order statistics of one series of samples.
#pragma once

#include <algorithm>
#include <vector>

namespace cvbench {

struct Summary {
  int n = 0;
  double min = 0, median = 0, max = 0;
};

// The median of an even count is the mean of the two middle samples. An
// empty series gives n = 0 and zeros.
inline Summary Summarize(std::vector<double> v) {
  Summary s;
  s.n = static_cast<int>(v.size());
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  s.min = v.front();
  s.max = v.back();
  size_t mid = v.size() / 2;
  s.median = v.size() % 2 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
  return s;
}

}  // namespace cvbench
