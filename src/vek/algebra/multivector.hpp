// Geometric (Clifford) product of multivectors stored as flat coefficient
// arrays: position A holds the blade whose basis vectors are the set bits of
// A, multiplied in ascending order; signature[k] is the square of e(k).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vek::algebra {

// a * b with the dimension taken from a. Terms with an exactly zero factor
// are never formed. Throws vek::Panic "index out of bounds: the len is L but
// the index is I" when a non-zero term needs b[len(b)], a signature entry
// beyond the signature, or a blade index at or beyond len(a).
std::vector<double> geometric_product(const std::vector<double>& a, const std::vector<double>& b,
                                      const std::vector<std::int8_t>& signature);

// The same product written into r, which must hold a.size() values (its
// previous contents are discarded); for callers that keep their own storage.
// Throws exactly as geometric_product does; r is then left partly written.
void geometric_product_into(std::span<const double> a, std::span<const double> b,
                            std::span<const std::int8_t> signature, std::span<double> r);

// a[n] * b[n] for n below the shorter length, on the shared pool. If any pair
// fails the whole call throws (one of the failures); no partial result.
std::vector<std::vector<double>> geometric_product_n(const std::vector<std::vector<double>>& a,
                                                     const std::vector<std::vector<double>>& b,
                                                     const std::vector<std::int8_t>& signature);

}  // namespace vek::algebra
