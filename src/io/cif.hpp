// CIF structure builder: expands atom sites by the symmetry operations and
// merges close images.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/result.hpp"
#include "core/structure.hpp"
#include "io/cif_syntax.hpp"  // for Block, BlockChoice
#include "io/read_notes.hpp"
#include "io/symmetry.hpp"

namespace molvane {

// The symmetry operations of a data block and where they came from.
struct CifSymmetry {
    enum class Source {
        loop,       // the rows of an operation loop
        hall,       // no operation read: the space group of the Hall symbol,
        hm,         // else of the H-M symbol,
        it_number,  // else of the International Tables number
        identity,   // none of these known: the identity alone
    };
    std::vector<SymmOp> ops;
    Source source = Source::loop;
    int hall_number = 0;          // table setting used (hall, hm, it_number)
    bool origin_assumed = false;  // the symbol left the origin open: choice 1 taken
    Tally unreadable;             // operation texts that could not be read
    // The first space-group item whose symbol the table does not know, if
    // any (tag in lower case, value as written).
    std::string unknown_tag;
    std::string unknown_symbol;
    // A known symbol whose group the cell does not fit: its tag, its text and
    // what cells of its crystal system have. Its operations were not taken.
    std::string misfit_tag;
    std::string misfit_symbol;
    std::string misfit;
    // Magnetic centerings were listed without magnetic operations; they
    // were applied alone.
    bool centerings_alone = false;
    // The operations are superspace operations acting on the basic structure.
    bool superspace = false;
};

// Operations from the first loop of operation texts, else from the magnetic
// operations combined with the magnetic centerings (or, for a modulated
// structure, from the superspace ones); when these give none (no
// such loop, no rows, no readable row), from the space group the block names,
// provided the cell fits the group's crystal system.
// Fails when magnetic operations and centerings combine into too many.
Result<CifSymmetry> symmetry_from_block(const Block& block);

// Builds the symmetry-expanded structure of a data block of a CIF text (see
// BlockChoice); images closer than `symprec` (fractional, per axis) are
// merged. What was skipped goes to `notes` when given.
Result<Structure> parse_cif(std::string_view text, double symprec, ReadNotes* notes = nullptr,
                            const BlockChoice& choice = {});

}  // namespace molvane
