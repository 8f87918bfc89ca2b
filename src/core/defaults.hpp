// Default arguments of the Python surface, in one place: the values the
// binding uses, their spelling in doc texts (through MOLVANE_STR) and the
// dict the Python layer reads as molvane._molvane._DEFAULTS.
#pragma once

#include <cstdint>

#define MOLVANE_DEFAULT_CUTOFF 10.0
#define MOLVANE_DEFAULT_BIN_SIZE 0.1
#define MOLVANE_DEFAULT_SYMPREC 1e-4
#define MOLVANE_DEFAULT_MAX_SITES 4096
#define MOLVANE_DEFAULT_SEED 42
#define MOLVANE_DEFAULT_MAX_DENOMINATOR 16
#define MOLVANE_DEFAULT_REACH 3.0

#define MOLVANE_STR_(x) #x
#define MOLVANE_STR(x) MOLVANE_STR_(x)

namespace molvane::defaults {

inline constexpr double cutoff = MOLVANE_DEFAULT_CUTOFF;
inline constexpr double bin_size = MOLVANE_DEFAULT_BIN_SIZE;
inline constexpr double symprec = MOLVANE_DEFAULT_SYMPREC;
inline constexpr std::uint64_t max_sites = MOLVANE_DEFAULT_MAX_SITES;
inline constexpr std::uint64_t seed = MOLVANE_DEFAULT_SEED;
inline constexpr std::uint64_t max_denominator = MOLVANE_DEFAULT_MAX_DENOMINATOR;
// How far disorder labels link positions, in angstrom.
inline constexpr double reach = MOLVANE_DEFAULT_REACH;

}  // namespace molvane::defaults
