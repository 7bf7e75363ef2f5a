// Least-squares linear trend removal.
#include "numerics/numerics.hpp"

namespace kelv {

void LTREND(float* x, int32_t n) {
  if (n <= 0) return;
  View1<float> v(x, n);
  // One point fixes no slope (the rise would be 0/0); the line through it leaves
  // no residual.
  if (n == 1) {
    v(1) = 0.0f;
    return;
  }

  const double N = static_cast<double>(n);
  double s0 = 0.0;
  double s1 = 0.0;
  for (int32_t k = 1; k <= n; ++k) {
    s0 += v(k);
    s1 += static_cast<double>(k) * v(k);
  }
  const double m = s0 / N;
  const double q = s1 / ((N + 1.0) * N);
  const double b = (q - 0.5 * m) * N * 12.0 / (N - 1.0);
  const double a = m - (N + 1.0) * b / (2.0 * N);
  for (int32_t k = 1; k <= n; ++k)
    v(k) = static_cast<float>((v(k) - a) - static_cast<double>(k) * b / N);
}

}  // namespace kelv
