// Least-squares linear trend removal.
#include "numerics/ltrend.hpp"

#include "numerics/numerics.hpp"

namespace kelv {

void LTREND(float* x, int32_t n) {
  removeTrend(View1<float>(x, n), n);
}
void LTREND(double* x, int32_t n) {
  removeTrend(View1<double>(x, n), n);
}

}  // namespace kelv
