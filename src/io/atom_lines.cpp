// Species symbols of atom lines.
#include "io/atom_lines.hpp"

#include <algorithm>
#include <limits>

#include "core/elements.hpp"  // for clean_symbol, element_from_text

namespace molvane {

std::string SpeciesSymbols::operator()(std::string_view token, std::uint64_t atoms) {
    const bool capital_second = token.size() >= 2 && is_ascii_letter(token[0]) && token[1] >= 'A' && token[1] <= 'Z';
    if (!capital_second || (token.size() > 2 && is_ascii_letter(token[2]))) return clean_symbol(token);
    auto element = element_from_text(token);
    if (!element || element->size() != 2) return clean_symbol(token);
    const std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    recased_atoms_ = atoms > most - recased_atoms_ ? most : recased_atoms_ + atoms;
    std::string letters(token.substr(0, 2));
    const bool seen = std::any_of(examples_.begin(), examples_.end(),
                                  [&](const auto& example) { return example.first == letters; });
    if (!seen && examples_.size() < 4) examples_.emplace_back(std::move(letters), *element);
    else if (!seen) more_examples_ = true;
    return std::move(*element);
}

void SpeciesSymbols::report(ReadNotes& notes) const {
    if (recased_atoms_ == 0) return;
    std::string examples;
    for (const auto& [letters, symbol] : examples_) {
        if (!examples.empty()) examples += ", ";
        examples += letters + " as " + symbol;
    }
    if (more_examples_) examples += ", ...";
    notes.add("read species written in capitals as two-letter elements (", examples, ") for ",
              std::to_string(recased_atoms_), recased_atoms_ == 1 ? " atom" : " atoms");
}

}  // namespace molvane
