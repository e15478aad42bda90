// Starting values of a shape's new constant (the search with fitted
// constants): the exact least-squares value where the shape is linear in
// it, a small grid of scales, shifts or frequencies otherwise. Fixed rules,
// so that fits are the same for any thread count and across runs.
#pragma once

#include <array>
#include <cstddef>

#include "vek/discover/affine.hpp"
#include "vek/discover/beam.hpp"

namespace vek::discover {

// At most kCapacity values; further ones are ignored.
class Starts {
 public:
  static constexpr std::size_t kCapacity = 10;
  void push(double v) noexcept {
    if (n_ < kCapacity) values_[n_++] = v;
  }
  std::size_t size() const noexcept { return n_; }
  double operator[](std::size_t i) const noexcept { return values_[i]; }
  const double* data() const noexcept { return values_.data(); }

 private:
  std::array<double, kCapacity> values_{};
  std::size_t n_ = 0;
};

// The starts of candidate c's new constant, from its operands' columns ca
// and cb over `rows` rows and the target (its first target.common rows):
//   - linear shapes (shapes.hpp): y ≈ α·U + β·V + γ by centred least
//     squares, c = β / α; then the shape without its constant;
//   - scales c·g: the shape without its constant, then by the operator's
//     StartRule (ops.hpp): c·g spanning ±0.3, ±1 and ±3 over the rows
//     (Span, as for exp), or phases across the rows 1.5 rad apart, up to 12,
//     about two periods (Phases, as for sin and cos);
//   - shifts g + c: the shape without its constant, then g + c above 0 on
//     every row with margins of 0.1, 1 and 10 times the range (below 0 as
//     well for TwoSided operators, as 1/(g + c) and x/(g + c));
//   - c - g: above 0 on every row by the same margins.
Starts start_values(const Cand& c, const double* ca, const double* cb, std::size_t rows, const Target& target,
                    const TargetStats& stats);

}  // namespace vek::discover
