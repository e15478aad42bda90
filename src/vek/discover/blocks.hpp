// Power blocks for the search with fitted constants: products of powers of
// variables, x_i^k_i · x_j^k_j · …, each power one node (ops.hpp: Pow), as
// ready-made leaves. Laws of the form c·∏ x_i^k_i are common and would
// otherwise take many levels of products to build.
//
// Exponents are proposed from the data. Where the target keeps one sign,
// ln|y| ≈ ln|c| + Σ k_i·ln|x_i| is fitted by least squares over the
// variables that allow it (positive ones take half-integer exponents,
// non-zero ones of either sign whole exponents), the variables entering one
// at a time in the order that lowers the residual most (forward selection);
// after each step the exponents are rounded to the nearest half (whole)
// number, those that round to 0 dropped, and the block proposed. Then the
// full fit once more with whole exponents. Fixed rules: the same blocks for
// any thread count and across runs.
#pragma once

#include <cstddef>
#include <vector>

#include "vek/discover/expr.hpp"
#include "vek/discover/score.hpp"

namespace vek::discover {

// Blocks of at least one factor, none a bare variable, without repeats, in
// the order proposed; at most `max_blocks`.
std::vector<std::vector<Node>> propose_power_blocks(const std::vector<std::vector<double>>& columns,
                                                    const Target& target, std::size_t max_blocks);

// Power blocks y may be proportional to: where y keeps one sign, ln|y| is
// fitted by least squares on ln|x| over the variables of one sign (whole
// exponents only for those negative on every row),
// and a block holds the variables whose exponent lies within 0.02 (then
// 0.05) of a non-zero whole number (then within 0.05, then 0.25, of a
// non-zero half-integer), that number its exponent (none beyond ±4); as
// (variable, exponent) factors in variable order, repeats and empty blocks
// dropped. On a hundred rows the exponent of a variable y is proportional
// to a power of is off by a few hundredths, and that of one y depends on
// otherwise may come as close: tighter tolerances first.
std::vector<std::vector<std::pair<std::size_t, double>>> proportional_blocks(
    const std::vector<std::vector<double>>& columns, const Target& target);

// Powers of single variables that every search offers as leaves: x², 1/x,
// √x, x³, 1/x² and x⁴ (x², x³, x⁴, and 1/x, 1/x² where no value is 0, for a
// variable not always positive), variable by variable, over the first `rows` rows; then
// squared differences (x_i - x_j)² of two variables; then
// products of two variables (whole exponents from -2 to 2) and of three
// (exponents ±1, at most one -1), negative exponents only for variables
// without a 0, as many as fit a fixed budget of values over `rows` rows.
std::vector<std::vector<Node>> power_leaves(const std::vector<std::vector<double>>& columns, std::size_t rows);

// The nodes of x_i^k_i · … for the (variable, exponent) factors, in order.
std::vector<Node> power_block(const std::vector<std::pair<std::size_t, double>>& factors);

}  // namespace vek::discover
