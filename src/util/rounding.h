// floor and round without libm: the opener loads the C library alone, and
// without SSE4.1 the compiler turns std::floor and std::round into calls
// into libm. Same results as std::floor and std::round (halves away from
// zero) for every double: signed zeros, NaN and infinities included.
#pragma once

#include <cstdint>

// The largest integer not above `x`.
inline double CVFloor(double x) {
  // From 2^52 on every double is an integer; NaN fails the test too. A zero
  // keeps its sign.
  if (!(x > -4503599627370496.0 && x < 4503599627370496.0) || x == 0) return x;
  double t = static_cast<double>(static_cast<int64_t>(x));
  return t > x ? t - 1.0 : t;
}

// The integer nearest to `x`; a half goes away from zero.
inline double CVRound(double x) {
  if (x < 0) return -CVRound(-x);
  double f = CVFloor(x);
  // Exact: below 1 the floor is 0, from 1 on it is at least half of x.
  return x - f >= 0.5 ? f + 1.0 : f;
}
