#include "vek/algebra/octonion.hpp"

#include <algorithm>
#include <cstddef>

#include "vek/common/parallel.hpp"

namespace vek::algebra {

namespace {

struct Entry {
  int k;     // result basis element
  int sign;  // +1 or -1
};

using Table = std::array<std::array<Entry, 8>, 8>;

// Builds ei * ej from the identity, the squares and the seven cyclic triples.
constexpr Table make_table() {
  Table t{};
  for (int i = 0; i < 8; ++i) {
    t[0][i] = {i, +1};
    t[i][0] = {i, +1};
  }
  for (int i = 1; i < 8; ++i) t[i][i] = {0, -1};
  for (int a = 1; a <= 7; ++a) {
    const int b = a % 7 + 1;        // a + 1
    const int c = (a + 2) % 7 + 1;  // a + 3
    const int triple[3] = {a, b, c};
    for (int m = 0; m < 3; ++m) {
      const int p = triple[m], q = triple[(m + 1) % 3], r = triple[(m + 2) % 3];
      t[p][q] = {r, +1};
      t[q][p] = {r, -1};
    }
  }
  return t;
}

constexpr Table kTable = make_table();

}  // namespace

Octonion octonion_mul(const Octonion& a, const Octonion& b) {
  Octonion p{};  // all +0.0
  for (std::size_t i = 0; i < 8; ++i) {
    if (a[i] == 0.0) continue;
    for (std::size_t j = 0; j < 8; ++j) {
      if (b[j] == 0.0) continue;
      const Entry e = kTable[i][j];
      const double term = a[i] * b[j];
      if (e.sign > 0)
        p[e.k] = p[e.k] + term;
      else
        p[e.k] = p[e.k] - term;
    }
  }
  return p;
}

std::vector<Octonion> octonion_mul_n(const std::vector<Octonion>& a, const std::vector<Octonion>& b) {
  const std::size_t n = std::min(a.size(), b.size());
  std::vector<Octonion> out(n);
  par::map_index(n, out.data(), [&](std::size_t i) { return octonion_mul(a[i], b[i]); }, 1024);
  return out;
}

}  // namespace vek::algebra
