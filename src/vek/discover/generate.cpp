#include "vek/discover/generate.hpp"

#include <algorithm>

namespace vek::discover {

namespace {

// Candidates are fingerprinted in blocks of this many: in parallel, then
// offered to the seen-set in generation order.
constexpr std::size_t kBlock = std::size_t{1} << 16;

}  // namespace

Operators Operators::of(bool use_trig, bool use_vek) {
  Operators ops;
  const auto add = [&ops](OpGroup group) {
    for (const OpDef& d : kOps) {
      if (d.group == group) (d.arity == 1 ? ops.unary : ops.binary).push_back(d.op);
    }
  };
  add(OpGroup::Core);
  if (use_trig) add(OpGroup::Trig);
  if (use_vek) add(OpGroup::Vek);
  return ops;
}

Operators Operators::of(const SearchConfig& config) {
  Operators ops = of(config.use_trig, config.use_vek);
  if (config.unary_ops) ops.unary = *config.unary_ops;
  if (config.binary_ops) ops.binary = *config.binary_ops;
  return ops;
}

Generated generate(const Beam& beam, std::size_t new_begin, const Operators& ops, std::uint64_t budget, SeenSet& seen,
                   std::size_t room) {
  Generated out;
  Deduplicator gen(
      seen, out,
      [&beam] {
        return [&beam](const Cand& c, ProbeBits& key) {
          Probes p;
          if (!beam.probe(c, p)) return false;
          key = probe_bits(p);
          return true;
        };
      },
      kBlock, 2048, room);

  const std::size_t end = beam.size();
  for (std::size_t e = new_begin; e < end; ++e) {
    for (Op u : ops.unary) gen.emit(Cand{static_cast<std::uint32_t>(e), static_cast<std::uint32_t>(e), u});
  }
  // Pairs within the node budget: member i combines with the members j <= i
  // whose complexity is below budget - complexity(i). For each distinct
  // bound, list those members once, in index order.
  std::vector<std::uint64_t> bounds;  // distinct budget - complexity(i) of the new members
  for (std::size_t i = new_begin; i < end; ++i) {
    if (beam.complexity(i) < budget) bounds.push_back(budget - beam.complexity(i));
  }
  std::sort(bounds.begin(), bounds.end());
  bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
  std::vector<std::vector<std::uint32_t>> partners(bounds.size());
  for (std::size_t k = 0; k < bounds.size(); ++k) {
    for (std::size_t j = 0; j < end; ++j) {
      if (beam.complexity(j) < bounds[k]) partners[k].push_back(static_cast<std::uint32_t>(j));
    }
  }
  for (std::size_t i = new_begin; i < end && !gen.full(); ++i) {
    if (beam.complexity(i) >= budget) continue;
    const std::size_t k = static_cast<std::size_t>(
        std::lower_bound(bounds.begin(), bounds.end(), budget - beam.complexity(i)) - bounds.begin());
    const auto a = static_cast<std::uint32_t>(i);
    for (const std::uint32_t b : partners[k]) {
      if (b > a) break;
      for (Op o : ops.binary) {
        gen.emit(Cand{a, b, o});
        if (order_sensitive(o)) gen.emit(Cand{b, a, o});
      }
    }
  }
  gen.flush();
  return out;
}

}  // namespace vek::discover
