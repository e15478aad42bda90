// vek_math._engine's side of scoring levels elsewhere (vek/discover/remote.hpp):
// the search's scorer callback, and the entries a worker calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "vek/discover/remote.hpp"
#include "vek/python/engine/from_py.hpp"
#include "vek/python/native_call.hpp"
#include "vek/python/py.hpp"

namespace vek::py::engine {

// A bytes argument, viewed for the call.
struct Bytes {
  std::string_view view;
};
bool from_py(PyObject* o, Bytes& out, const char* name);

// A replica made by replica().
struct ReplicaArg {
  discover::Replica* replica = nullptr;
};
bool from_py(PyObject* o, ReplicaArg& out, const char* name);

// The search's level scorer calling scorer(level, setup, members,
// beam_size, cands, count) with the lock taken: bytes are the scores,
// None leaves the level to the search; ConnectionError stops the search
// with `lost` set (its exception cleared), and any other exception stops
// it and is the call's.
discover::LevelScorer level_scorer(NativeCall& call, PyObject* scorer, bool& lost);

PyObject* replica(const F64Array<2>& x, const F64Array<1>& y, Bytes setup);
PyObject* replica_extend(ReplicaArg replica, Bytes members);
PyObject* score_chunk(ReplicaArg replica, Bytes cands, std::optional<std::int64_t> n_threads);

namespace doc {

inline constexpr const char replica[] =
    "A replica of a search's beam on X and y (as given to search) for\n"
    "scoring its levels elsewhere: setup is the search's settings as its\n"
    "scorer received them. Empty until replica_extend adds members.";

inline constexpr const char replica_extend[] =
    "Adds the members a scorer received (members: its bytes) that the\n"
    "replica does not hold yet, and returns how many it holds. ValueError\n"
    "when members before them are missing or the bytes are malformed.";

inline constexpr const char score_chunk[] =
    "The cheap scores of candidates (a slice of the cands bytes a scorer\n"
    "received, whole records), exactly as the search scores them, as bytes\n"
    "in the same order; n_threads as for search. Runs without the\n"
    "interpreter lock.";

}  // namespace doc

}  // namespace vek::py::engine
