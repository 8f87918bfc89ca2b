// What a reader skipped or guessed while still returning a structure: one
// line per kind, with counts, which the Python layer reports as warnings.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace molvane {

struct ReadNotes {
    std::vector<std::string> lines;

    // Appends one note made of its pieces.
    template <typename... Parts>
    void add(Parts&&... parts) {
        std::string text;
        (text.append(std::string_view(parts)), ...);
        lines.push_back(std::move(text));
    }
};

}  // namespace molvane
