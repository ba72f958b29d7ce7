// The cross-sectional operators the engine runs in C++ on whole
// date x instrument tables, by the name a `CrossSectionalKernelFactor`
// carries.  Every operator works row by row (one date at a time) and may
// run in place (`out` aliasing `in`).
//
// Adding one: the numerics in cpp/kernels, one `CsOpDef` row in cs_ops.cpp,
// the Python constructor in tarnfold/cross_sectional.py and a pandas
// reference in the tests.
#pragma once

#include <span>
#include <string>

#include "kernels/matrix.hpp"
#include "kernels/row_groups.hpp"

namespace tarnfold::engine {

struct CsOpDef {
    const char *name;
    bool grouped;  // reads one group (industry) code per cell
    int nparams;
    // `codes` is null unless the operator is grouped.
    void (*run)(const kern::ConstView &in, const kern::CodeView *codes, const kern::MutView &out,
                const double *params);
};

// The operator called `name`, or nullptr.
const CsOpDef *find_cs_op(const std::string &name);
// Every operator, in table order.
std::span<const CsOpDef> cs_op_table();

// Runs `op` on blocks of rows (dates) over up to `threads` threads; every
// row is computed as on one thread, so the result does not depend on the
// count.  Call without the GIL.
void run_cs_op(const CsOpDef &op, const kern::ConstView &in, const kern::CodeView *codes,
               const kern::MutView &out, const double *params, int threads);

}  // namespace tarnfold::engine
