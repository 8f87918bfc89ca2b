// The distance kernels of the neighbour search: what a kernel is given (a
// run of packed sites seen from its centres at one image shift) and what it
// writes (the accepted pairs), its instruction-set variants and the choice
// among them, and the square roots taken of what it found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/lattice.hpp"

namespace molvane {

// Most lanes of any kernel: the packed arrays are padded by this many
// entries, and every output needs this much room beyond its entries.
inline constexpr std::size_t max_lanes = 8;

// Instruction-set variants of the distance kernel. All give the same bits;
// the fastest one the CPU supports is chosen when the library loads. Tests
// force each in turn (Python: molvane._molvane._set_kernel(name), which
// returns the previous name) to check that they agree. A search keeps the
// variant that was current when it was built.
enum class Kernel { plain, avx2, avx512 };
std::optional<Kernel> kernel_named(std::string_view name);
const char* kernel_name(Kernel k);
bool kernel_supported(Kernel k);
Kernel current_kernel();
// Makes k current (it must be supported) and returns the previous one.
Kernel set_kernel(Kernel k);

// Which ordered pairs an accepted entry of a pair visit stands for: the
// centre seeing the neighbour image, the neighbour seeing the centre's
// opposite image, or both (same image: the two distances are the same bits).
enum PairSide : std::uint8_t { side_forward = 1, side_reverse = 2, side_both = 3 };

// How a kernel forms the fractional displacement from centre i to slot j,
// exactly as written: forward ((x_j + shift) - w_i); the same image
// (x_j - w_i), which is forward with a zero shift; reverse (c_i - x_j) with
// c_i = w_i + (-shift), the centre's image seen from j (the pair reversed).
enum class ProbeForm : std::uint8_t { same_image, forward, reverse };

// A run of packed slots [lo, hi), seen at one image shift from the centres
// [c_lo, c_hi); with `after_centre` (the centres' own sub-cell) each centre
// starts at the slot after its own.
struct RunProbe {
    std::uint32_t lo, hi, c_lo, c_hi;
    bool after_centre;
    bool diagonal;  // the lattice matrix has only zeros off its diagonal
    ProbeForm form;
    double shift[3];
};

// Where a kernel writes (centre slot, neighbour slot, squared distance) for
// every accepted pair, from centre `next` on (from slot `resume` of its
// window when not 0). When `room` runs short it stops, leaving `next` and
// `resume` where to go on.
struct RunOutput {
    std::uint32_t next;
    std::uint32_t resume;
    std::size_t room;
    std::uint32_t* centre;
    std::uint32_t* slot;
    double* d2;
};

// The sites packed by sub-cell: their coordinates as three arrays (padded
// at the end for whole-vector loads), a "slot" being a position in this order.
struct PackedSites {
    std::vector<double> x, y, z;
    std::vector<std::int32_t> site;  // site index by slot
};

// A distance kernel: appends the accepted pairs of a run (squared distance
// at most cutoff_sq and above 1e-16) and returns how many. Writes up to 8
// entries beyond those it counts, within `room`.
using CollectFn = std::size_t (*)(const PackedSites& sites, const RunProbe& run, const Mat3& m, double cutoff_sq,
                                  RunOutput& out);

// The kernel of variant k.
CollectFn collect_fn(Kernel k);

// Square roots of n values.
void square_roots(const double* in, double* out, std::size_t n);

// Square roots of n values, listing in `near` (room for n) the indices of
// those below `near_sq`, in increasing order; returns how many. The listing
// rides along with the roots, which leave the CPU room for it.
std::size_t square_roots_listing(const double* in, double* out, std::size_t n, double near_sq, std::uint32_t* near);

}  // namespace molvane
