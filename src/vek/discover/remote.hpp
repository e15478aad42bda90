// Scoring the levels of the search with fitted constants in other processes
// (a cluster's workers), while the beam, the front and every selection stay
// with the caller.
//
// What travels, per level: the members that joined the beam since the last
// level scored elsewhere (BeamLog: how each joined, with its nodes and
// fitted constants) and the level's candidates as (a, b, op, lift) records;
// back come the candidates' cheap scores. The data and the settings reach
// each worker once per search.
//
// A Replica, built elsewhere from the same data and settings, replays the
// log through the very Beam calls the caller made, so its members' columns
// equal the caller's bit for bit, and gives each candidate the score
// ShapeScorer::cheap gives it at the caller. That score depends only on the
// beam, the candidate, the data and the settings (no bound taken from other
// candidates), so a level scored in any chunks, by any number of workers, in
// any order, equals the level scored here. The full fits, the polish, the
// sums and the selections then run at the caller as they always do.
//
// Encodings are fixed-width in this machine's byte order; the settings carry
// a tag that a replica on another byte order (or another version of this
// format) rejects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vek/discover/affine.hpp"
#include "vek/discover/beam.hpp"
#include "vek/discover/normalized.hpp"
#include "vek/discover/score.hpp"
#include "vek/discover/shape_score.hpp"

namespace vek::discover {

// Bytes of one candidate record and of one score record.
inline constexpr std::size_t kCandBytes = 10;   // a, b (u32), op, lift (u8)
inline constexpr std::size_t kScoreBytes = 50;  // error, loss, rank, a, b, c (f64), wrap, ok (u8)

// What a replica needs besides the data: the scoring settings of the search.
struct RemoteSetup {
  double penalty = 0.0;
  FitBudget budget;
  std::size_t cache_bytes = 0;  // the beam's column cache, as the caller's
  std::size_t rows = 0;         // of the data (the first column)
  std::size_t features = 0;
  std::size_t target_size = 0;

  std::string encode() const;
  // vek::Panic on a wrong tag or size.
  static RemoteSetup decode(std::string_view bytes);
};

// How the members joined the caller's beam, in order, as bytes.
class BeamLog {
 public:
  void leaf(std::size_t var);                                  // Beam::add_leaf of a variable
  void shape(const std::vector<Node>& nodes);                  // Beam::add_shape of a whole shape
  void member(const Cand& c, const std::vector<Node>& nodes);  // Beam::add of a scored candidate
  std::size_t size() const noexcept { return offsets_.size(); }
  // Members [from, size()), headed by `from` and their count.
  std::string encode(std::size_t from) const;

 private:
  void nodes(const std::vector<Node>& n);
  std::string bytes_;
  std::vector<std::size_t> offsets_;  // where each member starts in bytes_
};

std::string encode_cands(const std::vector<Cand>& cands);
// The scores in the engine's units; vek::Panic unless `bytes` holds `count`.
void decode_scores(std::string_view bytes, std::size_t count, std::vector<ShapeScore>& out);

// One level to score elsewhere.
struct RemoteLevel {
  std::size_t level = 0;
  std::string_view setup;     // RemoteSetup::encode()
  std::string_view members;   // BeamLog::encode(from): the members since the last level scored elsewhere
  std::size_t beam_size = 0;  // members in all
  std::string_view cands;     // encode_cands() of the level's candidates
  std::size_t count = 0;      // candidates
};

// Returns the level's scores (count records of kScoreBytes, in candidate
// order), or nullopt: score the level here. May throw vek::Interrupted to
// stop the search, which then ends as stopped with the levels finished
// before.
using LevelScorer = std::function<std::optional<std::string>(const RemoteLevel&)>;

// A replica of the caller's beam, on the same data and settings, that
// scores candidates as the caller would.
class Replica {
 public:
  // `columns` one per variable, as the caller's; `target` as the caller's
  // (not yet normalised). vek::Panic when they do not match the setup.
  Replica(std::vector<std::vector<double>> columns, std::vector<double> target, std::string_view setup);
  Replica(const Replica&) = delete;
  Replica& operator=(const Replica&) = delete;

  // Replays a BeamLog::encode() batch: members it holds beyond size() join
  // (those already held are skipped). vek::Panic when it starts past size()
  // or is malformed.
  void extend(std::string_view batch);
  std::size_t size() const noexcept { return beam_.size(); }

  // The cheap scores of encode_cands() records, in order (kScoreBytes each).
  // vek::Panic on a candidate naming a member not held.
  std::string score(std::string_view cands) const;

 private:
  const std::vector<std::vector<double>> columns_;
  const std::vector<double> raw_target_;
  const RemoteSetup setup_;
  Beam beam_;
  const Normalized norm_;
  const Target target_;
  const TargetStats stats_;
  const ShapeScorer scorer_;
};

}  // namespace vek::discover
