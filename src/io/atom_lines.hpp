// Pieces shared by the readers of atom lines (POSCAR, extended XYZ,
// trajectories).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/lattice.hpp"
#include "core/number.hpp"  // for parse_decimal_to, parse_f64
#include "core/numeric.hpp"  // for saturating_add
#include "core/result.hpp"
#include "core/structure.hpp"
#include "io/read_notes.hpp"

namespace molvane {

// Cartesian (x, y, z) to fractional: the row vector times the inverse,
// summed from the last axis to the first.
inline Vec3 cartesian_to_fractional(const Mat3& inv, double x, double y, double z) {
    Vec3 f;
    for (int j = 0; j < 3; ++j) f[j] = (z * inv[2][j] + y * inv[1][j]) + x * inv[0][j];
    return f;
}

// Reads three tokens from `first` on as numbers.
inline Result<Vec3> read_three(const std::vector<std::string_view>& tokens, std::size_t first) {
    Vec3 v;
    for (std::size_t i = 0; i < 3; ++i)
        if (!parse_decimal_to(tokens[first + i], v[i])) return parse_f64(tokens[first + i]).error();
    return v;
}

// Element symbols of species tokens, and the symbol table of the last
// structure read, which the next one starts from so that the frames of a file
// with the same species share one table. A token is cleaned by clean_symbol,
// except that one whose first two characters are letters, the second a
// capital, and whose third is no letter ("FE", "CL1", "FE2+") names the
// two-letter element those letters spell in any case, when there is one:
// "FE" is iron, not fluorine. Such readings are counted for a note, because
// in a file of protein atom names "CA" meant a carbon. Tokens that name no
// element ("Ow", "26") keep their clean_symbol form.
class SpeciesSymbols {
public:
    // The symbol of `token`, which stands for `atoms` atoms.
    std::string operator()(std::string_view token, std::uint64_t atoms = 1);

    // Adds one note about the tokens read in capitals, when there were any.
    void report(ReadNotes& notes) const;

    // Sites starting from the last structure's symbol table; keep_symbols
    // remembers the table of a structure built from them.
    Sites start_sites() const { return Sites(last_table_); }
    void keep_symbols(const Structure& structure) { last_table_ = structure.sites().shared_symbols(); }

    // Adds `atoms` atoms of a token already read in capitals.
    void count_again(std::uint64_t atoms) { recased_atoms_ = saturating_add(recased_atoms_, atoms); }
    std::uint64_t recased_atoms() const { return recased_atoms_; }

    // What was counted, as plain data (to carry it between processes).
    struct Counts {
        std::uint64_t recased_atoms = 0;
        std::vector<std::pair<std::string, std::string>> examples;  // (letters, symbol)
        bool more_examples = false;
    };
    Counts counts() const { return {recased_atoms_, examples_, more_examples_}; }
    // Adds what another read counted, as if its tokens came after these.
    void add(const Counts& other);

private:
    // Keeps the first few distinct examples; notes that there were more.
    void note_example(std::string_view letters, const std::string& symbol);

    std::uint64_t recased_atoms_ = 0;
    std::vector<std::pair<std::string, std::string>> examples_;  // (letters, symbol), distinct, a few
    bool more_examples_ = false;
    std::shared_ptr<const SymbolTable> last_table_;
};

// Species tokens of one structure's atom lines to symbol indices of its
// sites. The first few distinct tokens are remembered, so a token seen
// before is not cleaned or looked up again.
class TokenSymbols {
public:
    TokenSymbols(SpeciesSymbols& symbols, Sites& sites) : symbols_(symbols), sites_(sites) {}

    std::uint32_t operator()(std::string_view token) {
        if (last_ < seen_.size() && seen_[last_].token == token) return found(seen_[last_]);
        for (std::size_t k = 0; k < seen_.size(); ++k)
            if (seen_[k].token == token) {
                last_ = k;
                return found(seen_[k]);
            }
        return first_time(token);
    }

private:
    struct Seen {
        std::string token;
        std::uint32_t index;
        bool recased;  // read in capitals
    };
    static constexpr std::size_t max_seen = 16;

    std::uint32_t found(const Seen& seen) {
        if (seen.recased) symbols_.count_again(1);
        return seen.index;
    }
    std::uint32_t first_time(std::string_view token);

    SpeciesSymbols& symbols_;
    Sites& sites_;
    std::vector<Seen> seen_;
    std::size_t last_ = 0;
};

}  // namespace molvane
