#include "vek/discover/shapes.hpp"

#include <algorithm>
#include <cmath>

#include "vek/common/stop.hpp"
#include "vek/discover/family.hpp"

namespace vek::discover {

namespace {

// Shapes are keyed in blocks of this many: in parallel, then offered to the
// seen-set in generation order.
constexpr std::size_t kBlock = std::size_t{1} << 15;

constexpr LiftBit kOperandA[] = {kScaleA, kShiftA, kReflectA};
constexpr LiftBit kOperandB[] = {kScaleB, kShiftB};

}  // namespace

Lift lift_of(LiftBit bit) noexcept {
  switch (bit) {
    case kScaleA: return Lift::ScaleA;
    case kShiftA: return Lift::ShiftA;
    case kScaleB: return Lift::ScaleB;
    case kShiftB: return Lift::ShiftB;
    case kReflectA: return Lift::ReflectA;
  }
  return Lift::None;
}

bool linear_in_constant(Op op, Lift lift) noexcept {
  for (LiftBit bit : {kScaleA, kShiftA, kScaleB, kShiftB, kReflectA}) {
    if (lift_of(bit) == lift) return (op_def(op).linear & bit) != 0;
  }
  return false;
}

bool shape_probes(const Beam& beam, const Cand& c, Probes& out, ShapeScratch& scratch) {
  const std::size_t n = beam.n_params(c);
  if (n == 0) {
    // Composed from the operands' probe values (those of members without
    // constants are their family probe values).
    return beam.probe(c, out);
  }
  beam.compose(c, 0.0, scratch.expr.nodes);
  return family_probes(scratch.expr, beam.n_vars(), n, out, scratch.family);
}

Generated generate_shapes(const Beam& beam, std::size_t new_begin, const Operators& ops, std::uint64_t budget,
                          std::size_t inner_cap, SeenSet& seen, std::size_t room) {
  Generated out;
  // A shape's key: its family fingerprint, when every probe value is finite.
  Deduplicator dedup(
      seen, out,
      [&beam] {
        return [&beam, scratch = ShapeScratch{}](const Cand& c, ProbeBits& key) mutable {
          Probes p;
          if (!shape_probes(beam, c, p, scratch)) return false;
          for (double v : p) {
            if (!std::isfinite(v)) return false;
          }
          key = family_key(p);
          return true;
        };
      },
      kBlock, 512, room);
  const auto emit = [&dedup](std::size_t a, std::size_t b, Op op, Lift lift) {
    dedup.emit(Cand{static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b), op, lift});
  };
  const std::size_t end = beam.size();
  for (std::size_t e = new_begin; e < end; ++e) {
    const std::uint64_t cx = beam.complexity(e);
    if (cx + 1 <= budget) {
      for (Op u : ops.unary) emit(e, e, u, Lift::None);
    }
    if (beam.n_params(e) + 1 <= inner_cap && cx + 3 <= budget) {
      for (Op u : ops.unary) {
        for (LiftBit bit : kOperandA) {
          if (op_def(u).lifts & bit) emit(e, e, u, lift_of(bit));
        }
      }
    }
  }
  for (std::size_t i = new_begin; i < end && !dedup.full(); ++i) {
    checkpoint(i + 1);
    for (std::size_t j = 0; j <= i; ++j) {
      const std::uint64_t cx = beam.complexity(i) + beam.complexity(j);
      if (cx + 1 > budget) continue;
      const std::size_t k = beam.n_params(i) + beam.n_params(j);
      if (k <= inner_cap) {
        for (Op o : ops.binary) {
          emit(i, j, o, Lift::None);
          if (order_sensitive(o) && i != j) emit(j, i, o, Lift::None);
        }
      }
      if (k + 1 > inner_cap || cx + 3 > budget) continue;
      // A constant in one operand. With i == j only one side is worth it:
      // the first operand of a symmetric operator ((g + c)·g), the second
      // of an ordered one (g/(g + c)); the rest are absorbed by the wrapper.
      for (Op o : ops.binary) {
        const std::uint8_t lifts = op_def(o).lifts;
        const auto side = [&](std::size_t a, std::size_t b, const auto& bits) {
          for (LiftBit bit : bits) {
            if (lifts & bit) emit(a, b, o, lift_of(bit));
          }
        };
        if (!order_sensitive(o)) {
          side(i, j, kOperandA);
          if (i != j) side(i, j, kOperandB);
        } else {
          side(i, j, kOperandB);
          if (i != j) {
            side(i, j, kOperandA);
            side(j, i, kOperandA);
            side(j, i, kOperandB);
          }
        }
      }
    }
  }
  dedup.flush();
  return out;
}

}  // namespace vek::discover
