// CIF syntax: the line tokenizer, data blocks merged into one Block of items
// and loops, and CIF numbers. Lenient: never fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/result.hpp"
#include "io/read_notes.hpp"

namespace molvane {

// Splits one line into tokens: words, quoted strings (a quote opens only at
// the start of a token) and a "#" comment that starts where a token would.
// Tokens are views into `line`; a token may be empty ('').
std::vector<std::string_view> tokenize(std::string_view line);

// The values of a loop in five bytes each when they lie in `text`: chunks of
// values each keep the position of their first value in the text, then per
// value its 32-bit offset from there and its length in one byte. Other values
// (text fields, long values) are kept as views, which must stay valid.
class LoopValues {
public:
    explicit LoopValues(std::string_view text = {}) : text_(text) {}

    std::size_t size() const { return size_; }
    std::string_view operator[](std::size_t i) const {
        const Chunk& c = chunks_[i / chunk_size];
        const std::size_t j = i % chunk_size;
        if (c.length[j] == held) return c.other[c.offset[j]];
        return text_.substr(c.base + c.offset[j], c.length[j]);
    }
    void push_back(std::string_view value);
    // Drops the values from the n-th on.
    void truncate(std::size_t n);

private:
    static constexpr std::size_t chunk_size = std::size_t{1} << 16;
    static constexpr std::uint8_t held = 255;  // length of a value kept in `other`

    struct Chunk {
        std::size_t base = 0;  // position in the text of the first value there
        bool has_base = false;
        std::vector<std::uint32_t> offset;  // from base, or the index into `other`
        std::vector<std::uint8_t> length;
        std::vector<std::string_view> other;
    };

    std::string_view text_;
    std::vector<Chunk> chunks_;
    std::size_t size_ = 0;
};

// One loop: lower-cased header tags and the values, row after row.
struct Loop {
    std::vector<std::string> tags;
    LoopValues values;  // size is a multiple of tags.size()

    std::size_t n_rows() const { return tags.empty() ? 0 : values.size() / tags.size(); }
    std::string_view value(std::size_t row, std::size_t col) const {
        return values[row * tags.size() + col];
    }
    // Index of the first tag equal to `tag`, if any.
    std::optional<std::size_t> column(std::string_view tag) const;
};

// The items and loops read for one structure: later items replace earlier
// ones, loops stay in text order. Loop values view the parsed text (which
// must outlive the Block) or the Block's own storage.
struct Block {
    std::unordered_map<std::string, std::string> items;
    std::vector<Loop> loops;
    std::deque<std::string> storage;  // text-field values seen by loops

    // parse_cif_number of the item `tag` (lower case); absent when missing.
    std::optional<double> number(const std::string& tag) const;
};

// Which data block ("data_NAME") to read. By default the first block with a
// loop holding _atom_site_fract_x, merged with the blocks before it (and with
// what precedes the first data_ line); later blocks are left out. Otherwise
// the one block of that name (compared after lower-casing both) or index (0
// is the first data_ block; a negative index counts from the last).
struct BlockChoice {
    std::optional<std::string> name;
    std::optional<long long> index;
};

// The chosen block. Fails when no block has the name or index, naming the
// blocks there are. The default choice notes later blocks with atom sites.
Result<Block> parse_block(std::string_view text, const BlockChoice& choice, ReadNotes* notes);

// The default choice, without notes.
Block parse_block(std::string_view text);

// A value read as a number: quotes stripped, "." and "?" absent, a standard
// uncertainty "(n)" dropped, then the one decimal grammar.
std::optional<double> parse_cif_number(std::string_view value);

}  // namespace molvane
