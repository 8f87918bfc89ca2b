// Helpers shared by the libFuzzer harnesses: numbers drawn from the input
// (often one of a table of awkward values) and a small structure built from
// fuzzed numbers.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/lattice.hpp"
#include "core/structure.hpp"

namespace fuzz {

// Stops the run: the harness saw an outcome that must never happen.
[[noreturn]] inline void finding(const char* what) {
    std::fprintf(stderr, "FINDING: %s\n", what);
    std::abort();
}

inline double awkward_double(FuzzedDataProvider& in) {
    static const double table[] = {
        0.0, -0.0, 1.0, -1.0, 0.5, 1e-4, 1e-12, 1e-300, 5e-324, 0.999999999999, 1.0000001,
        1e300, std::numeric_limits<double>::max(), std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN(), 0.1, 2.5,
        1.0 / 3.0, 2.0 / 3.0, 0.25, 0.75, 4.0, 10.0,
    };
    constexpr std::size_t n = sizeof(table) / sizeof(table[0]);
    std::uint8_t pick = in.ConsumeIntegral<std::uint8_t>();
    if (pick < 2 * n) return table[pick % n];
    if (pick < 200) return in.ConsumeFloatingPointInRange<double>(-20.0, 20.0);
    return in.ConsumeFloatingPoint<double>();
}

// A lattice matrix: mostly reasonable cells, sometimes arbitrary numbers.
inline molvane::Mat3 fuzzed_matrix(FuzzedDataProvider& in) {
    molvane::Mat3 m{};
    const std::uint8_t mode = in.ConsumeIntegral<std::uint8_t>() % 4;
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = 0; j < 3; ++j) {
            if (mode == 3)
                m[i][j] = awkward_double(in);
            else if (i == j)
                m[i][j] = in.ConsumeFloatingPointInRange<double>(0.5, 12.0);
            else
                m[i][j] = mode == 0 ? 0.0 : in.ConsumeFloatingPointInRange<double>(-6.0, 6.0);
        }
    }
    return m;
}

// A structure of up to max_sites sites with species from a small alphabet.
inline std::optional<molvane::Structure> fuzzed_structure(FuzzedDataProvider& in, std::size_t max_sites,
                                                          bool awkward_occupancies) {
    static const char* const symbols[] = {"Fe", "O", "Mg", "Ni", "", "X\xc3\xa9", "Fe"};
    auto lattice = molvane::Lattice::create(fuzzed_matrix(in));
    if (!lattice) return std::nullopt;
    const std::size_t n_sites = in.ConsumeIntegralInRange<std::size_t>(1, max_sites);
    molvane::Sites sites;
    for (std::size_t s = 0; s < n_sites && in.remaining_bytes() > 0; ++s) {
        molvane::Vec3 frac;
        for (auto& f : frac)
            f = in.ConsumeBool() ? in.ConsumeFloatingPointInRange<double>(-1.5, 2.5) : awkward_double(in);
        sites.add_site(frac);
        const std::size_t n_species = in.ConsumeIntegralInRange<std::size_t>(1, 3);
        for (std::size_t k = 0; k < n_species; ++k) {
            std::string symbol = symbols[in.ConsumeIntegralInRange<std::size_t>(0, 6)];
            double occupancy;
            if (awkward_occupancies && in.ConsumeBool())
                occupancy = awkward_double(in);
            else
                occupancy = in.ConsumeIntegralInRange<int>(0, 8) / 8.0;
            sites.add_species(symbol, occupancy);
        }
    }
    auto structure = molvane::Structure::create(*lattice, std::move(sites));
    if (!structure) return std::nullopt;
    return std::move(*structure);
}

// JSON text of a number; NaN and infinities as Python's json module writes them.
inline std::string json_number(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "Infinity" : "-Infinity";
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// The structure as JSON members "matrix", "frac_coords" and "species" (the
// arguments of the Python constructor), for turning a finding into a
// regression input. Symbols are plain ASCII or UTF-8 without quotes.
inline std::string json_structure(const molvane::Structure& s) {
    std::string out = "\"matrix\": [";
    const auto& m = s.lattice().matrix();
    for (std::size_t i = 0; i < 3; ++i) {
        out += i ? ", [" : "[";
        for (std::size_t j = 0; j < 3; ++j) out += (j ? ", " : "") + json_number(m[i][j]);
        out += "]";
    }
    out += "], \"frac_coords\": [";
    const molvane::Sites& sites = s.sites();
    for (std::size_t k = 0; k < sites.size(); ++k) {
        const auto& f = sites.frac(k);
        out += (k ? ", [" : "[") + json_number(f[0]) + ", " + json_number(f[1]) + ", " + json_number(f[2]) + "]";
    }
    out += "], \"species\": [";
    for (std::size_t k = 0; k < sites.size(); ++k) {
        out += k ? ", [" : "[";
        for (std::size_t e = sites.entries_begin(k); e < sites.entries_end(k); ++e) {
            const molvane::SpeciesEntry entry = sites.entry(e);
            out += (e > sites.entries_begin(k) ? ", [\"" : "[\"") + sites.symbol(entry.symbol) + "\", " +
                   json_number(entry.occupancy) + "]";
        }
        out += "]";
    }
    return out + "]";
}

// The same sites to the bit: coordinates, and every site's species (symbols
// and occupancies) in order.
inline bool same_sites(const molvane::Sites& a, const molvane::Sites& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::memcmp(&a.frac(i), &b.frac(i), sizeof(molvane::Vec3)) != 0) return false;
        const std::size_t first_a = a.entries_begin(i), first_b = b.entries_begin(i);
        const std::size_t n = a.entries_end(i) - first_a;
        if (b.entries_end(i) - first_b != n) return false;
        for (std::size_t k = 0; k < n; ++k) {
            const molvane::SpeciesEntry p = a.entry(first_a + k), q = b.entry(first_b + k);
            if (a.symbol(p.symbol) != b.symbol(q.symbol) ||
                std::memcmp(&p.occupancy, &q.occupancy, sizeof(double)) != 0)
                return false;
        }
    }
    return true;
}

// Set FUZZ_DUMP=1 to print each input's decoded arguments as JSON.
inline bool dumping() {
    static const bool on = std::getenv("FUZZ_DUMP") != nullptr;
    return on;
}

}  // namespace fuzz
