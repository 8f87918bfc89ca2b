// Species symbols of atom lines.
#include "io/atom_lines.hpp"

#include <algorithm>

#include "core/elements.hpp"  // for clean_symbol, element_from_text
#include "core/numeric.hpp"   // for saturating_add
#include "core/text.hpp"  // for the ASCII tests

namespace molvane {

std::string SpeciesSymbols::operator()(std::string_view token, std::uint64_t atoms) {
    const bool capital_second = token.size() >= 2 && is_ascii_letter(token[0]) && token[1] >= 'A' && token[1] <= 'Z';
    if (!capital_second || (token.size() > 2 && is_ascii_letter(token[2]))) return clean_symbol(token);
    auto element = element_from_text(token);
    if (!element || element->size() != 2) return clean_symbol(token);
    recased_atoms_ = saturating_add(recased_atoms_, atoms);
    note_example(token.substr(0, 2), *element);
    return std::move(*element);
}

void SpeciesSymbols::note_example(std::string_view letters, const std::string& symbol) {
    const bool seen = std::any_of(examples_.begin(), examples_.end(),
                                  [&](const auto& example) { return example.first == letters; });
    if (!seen && examples_.size() < 4) examples_.emplace_back(std::string(letters), symbol);
    else if (!seen) more_examples_ = true;
}

void SpeciesSymbols::add(const Counts& other) {
    recased_atoms_ = saturating_add(recased_atoms_, other.recased_atoms);
    for (const auto& [letters, symbol] : other.examples) note_example(letters, symbol);
    more_examples_ = more_examples_ || other.more_examples;
}

std::uint32_t TokenSymbols::first_time(std::string_view token) {
    const std::uint64_t before = symbols_.recased_atoms();
    const std::uint32_t index = sites_.symbol_index(symbols_(token));
    if (seen_.size() < max_seen) {
        seen_.push_back({std::string(token), index, symbols_.recased_atoms() != before});
        last_ = seen_.size() - 1;
    }
    return index;
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
