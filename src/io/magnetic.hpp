// Magnetic symmetry operations as magnetic CIFs write them: an operation
// text with a fourth term, the time-reversal sign ("x,y,z,+1", "-x,y,-z,-1"),
// and the centerings ("x+1/2,y+1/2,z,+1") that combine with every operation.
#pragma once

#include <string_view>
#include <vector>

#include "core/result.hpp"
#include "io/symmetry.hpp"

namespace molvane {

struct MagneticOp {
    SymmOp op;              // what the operation does to positions
    int time_reversal = 1;  // +1 or -1
};

// Reads "x,y,z,+1": three components as parse_symmop reads them, then +1,
// 1 or -1. Fails on a missing or other fourth term.
Result<MagneticOp> parse_magnetic_symmop(std::string_view text);

// The positions part of a superspace operation as modulated magnetic CIFs
// write it, "x1+1/2,-x2,x3,-x4,-1": its first three components with x1, x2,
// x3 read as x, y, z. This is the operation's action on the basic
// (average) structure; the components of x4 and beyond and the
// time-reversal sign (which must be +1 or -1) are set aside. Fails when the
// text has fewer than five components.
Result<SymmOp> parse_superspace_positions(std::string_view text);

// Every centering applied after every operation, centerings outer:
// c∘g = (Rc Rg, Rc tg + tc). With no centering the operations alone.
std::vector<SymmOp> with_centerings(const std::vector<SymmOp>& ops, const std::vector<SymmOp>& centerings);

}  // namespace molvane
