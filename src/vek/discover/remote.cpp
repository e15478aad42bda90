#include "vek/discover/remote.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "vek/common/panic.hpp"
#include "vek/common/parallel.hpp"
#include "vek/common/stop.hpp"
#include "vek/discover/ops.hpp"

namespace vek::discover {

namespace {

// Format version and byte order in one: read back in another byte order it
// is another number.
constexpr std::uint32_t kTag = 0x564b5201;

enum class Joined : std::uint8_t { Leaf = 0, Shape = 1, Member = 2 };

template <class T>
void put(std::string& out, T v) {
  char b[sizeof(T)];
  std::memcpy(b, &v, sizeof(T));
  out.append(b, sizeof(T));
}

class Reader {
 public:
  explicit Reader(std::string_view s) : s_(s) {}
  template <class T>
  T get() {
    if (s_.size() - pos_ < sizeof(T)) panic("remote: truncated data");
    T v;
    std::memcpy(&v, s_.data() + pos_, sizeof(T));
    pos_ += sizeof(T);
    return v;
  }
  bool done() const noexcept { return pos_ == s_.size(); }

 private:
  std::string_view s_;
  std::size_t pos_ = 0;
};

void put_cand(std::string& out, const Cand& c) {
  put(out, c.a);
  put(out, c.b);
  put(out, static_cast<std::uint8_t>(c.op));
  put(out, static_cast<std::uint8_t>(c.lift));
}

// A candidate over members below `members`, with an operator and lift that
// exist.
Cand get_cand(Reader& r, std::size_t members) {
  Cand c;
  c.a = r.get<std::uint32_t>();
  c.b = r.get<std::uint32_t>();
  const auto op = r.get<std::uint8_t>();
  const auto lift = r.get<std::uint8_t>();
  if (op >= kOpCount || lift > static_cast<std::uint8_t>(Lift::ReflectA)) panic("remote: a malformed candidate");
  c.op = static_cast<Op>(op);
  c.lift = static_cast<Lift>(lift);
  if (c.a >= members || c.b >= members) panic("remote: a candidate names a member the replica does not hold");
  return c;
}

std::vector<Node> get_nodes(Reader& r, std::size_t features) {
  const auto n = r.get<std::uint32_t>();
  std::vector<Node> out;
  out.reserve(std::min<std::size_t>(n, 4096));
  for (std::uint32_t i = 0; i < n; ++i) {
    Node node;
    const auto kind = r.get<std::uint8_t>();
    const auto op = r.get<std::uint8_t>();
    node.index = r.get<std::uint32_t>();
    node.value = r.get<double>();
    if (kind > static_cast<std::uint8_t>(Node::Kind::Op) || op >= kOpCount) panic("remote: a malformed node");
    node.kind = static_cast<Node::Kind>(kind);
    node.opcode = static_cast<Op>(op);
    if (node.kind == Node::Kind::Var && node.index >= features) panic("remote: a node names a missing variable");
    out.push_back(node);
  }
  return out;
}

}  // namespace

std::string RemoteSetup::encode() const {
  std::string out;
  put(out, kTag);
  put(out, penalty);
  put(out, static_cast<std::uint64_t>(budget.cheap_evals));
  put(out, static_cast<std::uint64_t>(budget.full_evals));
  put(out, static_cast<std::uint64_t>(budget.polish_evals));
  put(out, static_cast<std::uint64_t>(cache_bytes));
  put(out, static_cast<std::uint64_t>(rows));
  put(out, static_cast<std::uint64_t>(features));
  put(out, static_cast<std::uint64_t>(target_size));
  return out;
}

RemoteSetup RemoteSetup::decode(std::string_view bytes) {
  Reader r(bytes);
  if (r.get<std::uint32_t>() != kTag) panic("remote: settings of another format or byte order");
  RemoteSetup s;
  s.penalty = r.get<double>();
  s.budget.cheap_evals = r.get<std::uint64_t>();
  s.budget.full_evals = r.get<std::uint64_t>();
  s.budget.polish_evals = r.get<std::uint64_t>();
  s.cache_bytes = r.get<std::uint64_t>();
  s.rows = r.get<std::uint64_t>();
  s.features = r.get<std::uint64_t>();
  s.target_size = r.get<std::uint64_t>();
  if (!r.done()) panic("remote: malformed settings");
  return s;
}

void BeamLog::leaf(std::size_t var) {
  offsets_.push_back(bytes_.size());
  put(bytes_, static_cast<std::uint8_t>(Joined::Leaf));
  put(bytes_, static_cast<std::uint32_t>(var));
}

void BeamLog::shape(const std::vector<Node>& n) {
  offsets_.push_back(bytes_.size());
  put(bytes_, static_cast<std::uint8_t>(Joined::Shape));
  nodes(n);
}

void BeamLog::member(const Cand& c, const std::vector<Node>& n) {
  offsets_.push_back(bytes_.size());
  put(bytes_, static_cast<std::uint8_t>(Joined::Member));
  put_cand(bytes_, c);
  nodes(n);
}

void BeamLog::nodes(const std::vector<Node>& n) {
  put(bytes_, static_cast<std::uint32_t>(n.size()));
  for (const Node& node : n) {
    put(bytes_, static_cast<std::uint8_t>(node.kind));
    put(bytes_, static_cast<std::uint8_t>(node.opcode));
    put(bytes_, static_cast<std::uint32_t>(node.index));
    put(bytes_, node.value);
  }
}

std::string BeamLog::encode(std::size_t from) const {
  from = std::min(from, size());
  std::string out;
  put(out, static_cast<std::uint64_t>(from));
  put(out, static_cast<std::uint64_t>(size() - from));
  if (from < size()) out.append(bytes_, offsets_[from]);
  return out;
}

std::string encode_cands(const std::vector<Cand>& cands) {
  std::string out;
  out.reserve(cands.size() * kCandBytes);
  for (const Cand& c : cands) put_cand(out, c);
  return out;
}

void decode_scores(std::string_view bytes, std::size_t count, std::vector<ShapeScore>& out) {
  if (bytes.size() != count * kScoreBytes) panic("remote: the scores do not match the level's candidates");
  Reader r(bytes);
  out.resize(count);
  for (ShapeScore& s : out) {
    s.error = r.get<double>();
    s.loss = r.get<double>();
    s.rank = r.get<double>();
    s.a = r.get<double>();
    s.b = r.get<double>();
    s.c = r.get<double>();
    const auto wrap = r.get<std::uint8_t>();
    if (wrap > static_cast<std::uint8_t>(Wrap::Affine)) panic("remote: a malformed score");
    s.wrap = static_cast<Wrap>(wrap);
    s.ok = r.get<std::uint8_t>() != 0;
  }
}

Replica::Replica(std::vector<std::vector<double>> columns, std::vector<double> target, std::string_view setup)
    : columns_(std::move(columns)),
      raw_target_(std::move(target)),
      setup_(RemoteSetup::decode(setup)),
      beam_(columns_, setup_.cache_bytes),
      norm_(raw_target_, std::min(beam_.rows(), raw_target_.size())),
      target_{norm_.y.data(), std::min(beam_.rows(), raw_target_.size()), static_cast<double>(raw_target_.size())},
      stats_(TargetStats::of(target_, norm_.unit)),
      scorer_(beam_, columns_, target_, stats_, setup_.penalty, setup_.budget) {
  if (columns_.size() != setup_.features || beam_.rows() != setup_.rows || raw_target_.size() != setup_.target_size) {
    panic("remote: the data do not match the search's");
  }
  for (const auto& c : columns_) {
    if (c.size() != setup_.rows) panic("remote: the data do not match the search's");
  }
}

void Replica::extend(std::string_view batch) {
  Reader r(batch);
  const auto from = r.get<std::uint64_t>();
  const auto count = r.get<std::uint64_t>();
  if (from > size()) panic("remote: members are missing before this batch");
  for (std::uint64_t k = 0; k < count; ++k) {
    const bool held = from + k < size();
    const auto how = r.get<std::uint8_t>();
    if (how == static_cast<std::uint8_t>(Joined::Leaf)) {
      const auto var = r.get<std::uint32_t>();
      if (var >= columns_.size()) panic("remote: a leaf names a missing variable");
      if (!held) beam_.add_leaf(Expr{{Node::var(var)}}, Probes{});
    } else if (how == static_cast<std::uint8_t>(Joined::Shape)) {
      Expr e{get_nodes(r, columns_.size())};
      if (held) continue;
      auto values = e.eval_batch(columns_, {});
      if (!values) panic("remote: a shape of the beam does not evaluate");
      beam_.add_shape(std::move(e), Probes{}, std::move(*values));
    } else if (how == static_cast<std::uint8_t>(Joined::Member)) {
      const Cand c = get_cand(r, from + k);
      std::vector<Node> nodes = get_nodes(r, columns_.size());
      if (!held) beam_.add(c, std::move(nodes), Probes{});
    } else {
      panic("remote: a malformed member");
    }
  }
  if (!r.done()) panic("remote: a malformed batch of members");
}

std::string Replica::score(std::string_view cands) const {
  if (cands.size() % kCandBytes != 0) panic("remote: a malformed list of candidates");
  const std::size_t count = cands.size() / kCandBytes;
  std::vector<Cand> list;
  list.reserve(count);
  Reader r(cands);
  for (std::size_t i = 0; i < count; ++i) list.push_back(get_cand(r, size()));
  std::vector<ShapeScore> scores(count);
  const std::size_t rows = beam_.rows();
  par::for_ranges(
      count,
      [&](std::size_t b, std::size_t e) {
        ShapeScorer::Work w(scorer_);
        for (std::size_t i = b; i < e; ++i) {
          checkpoint(list[i].lift == Lift::None ? rows : 16 * rows);
          scores[i] = scorer_.cheap(list[i], w);
        }
      },
      std::max<std::size_t>(2, 1024 / std::max<std::size_t>(1, rows)));
  std::string out;
  out.reserve(count * kScoreBytes);
  for (const ShapeScore& s : scores) {
    put(out, s.error);
    put(out, s.loss);
    put(out, s.rank);
    put(out, s.a);
    put(out, s.b);
    put(out, s.c);
    put(out, static_cast<std::uint8_t>(s.wrap));
    put(out, static_cast<std::uint8_t>(s.ok ? 1 : 0));
  }
  return out;
}

}  // namespace vek::discover
