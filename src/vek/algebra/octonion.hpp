// Octonion product on the basis e0 (the real unit) .. e7. ei * ei = -e0 for
// i >= 1, and for each index triple (i, i+1, i+3) mod 7 (in 1..7) the product
// of two members in cyclic order is the third, in reverse order its negative.
#pragma once

#include <array>
#include <vector>

namespace vek::algebra {

using Octonion = std::array<double, 8>;

// a * b. Terms with an exactly zero factor are never formed (so zeros facing
// inf or NaN contribute nothing, and -0.0 results come back +0.0); each
// output coefficient accumulates its terms in ascending order of i.
Octonion octonion_mul(const Octonion& a, const Octonion& b);

// a[n] * b[n] for n below the shorter length, computed on the shared pool.
std::vector<Octonion> octonion_mul_n(const std::vector<Octonion>& a, const std::vector<Octonion>& b);

}  // namespace vek::algebra
