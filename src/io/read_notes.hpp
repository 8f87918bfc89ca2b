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

// How many of what, for a note: "1 row", "3 rows".
inline std::string counted(std::size_t n, std::string_view noun) {
    std::string text = std::to_string(n);
    text.append(" ").append(noun);
    if (n != 1) text.push_back('s');
    return text;
}

// The number of things of one kind and the first of them, for a note.
struct Tally {
    std::size_t count = 0;
    std::string first;

    void add(std::string_view what) {
        if (count++ == 0) first = what;
    }
};

}  // namespace molvane
