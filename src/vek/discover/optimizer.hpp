// Fits the free parameters of an expression (its Param nodes) to data by a
// damped Gauss-Newton iteration with a forward-difference Jacobian and a
// diagonal curvature estimate.
#pragma once

#include <utility>
#include <vector>

#include "vek/discover/expr.hpp"

namespace vek::discover {

// Returns the fitted parameters (exactly initial.size() values) and their
// root-mean-square error against y: sqrt(S / y.size()) with S summed over the
// first min(rows, y.size()) predictions. The error is +inf when the returned
// parameters cannot be evaluated, and NaN for an empty y.
//
// With an empty initial vector this is a single evaluation. Otherwise at most
// 20 Jacobians are built; the returned vector is the last accepted one.
// Residual loops cover min(rows, y.size()) samples, so a target longer than
// the data is tolerated. Never throws for numeric reasons; the column
// preconditions of Expr::eval_batch apply.
std::pair<std::vector<double>, double> optimize(const Expr& expr, const std::vector<std::vector<double>>& columns,
                                                const std::vector<double>& y, const std::vector<double>& initial);

}  // namespace vek::discover
