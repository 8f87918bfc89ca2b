// CIF syntax: the line tokenizer, data blocks (items and loops) and numbers.
#include "io/cif_syntax.hpp"

#include <utility>

#include "core/text.hpp"  // for trim, split_lines, strip_quotes, parse_decimal, decode_utf8
#include "core/unicode_lower.hpp"

namespace molvane {

// ---------------------------------------------------------------------------
// Tokenizer and blocks
// ---------------------------------------------------------------------------

namespace {

// Tokens of one line appended to `out` (cleared first).
void tokenize_into(std::string_view line, std::vector<std::string_view>& out) {
    out.clear();
    std::size_t pos = 0, start = 0;
    bool in_token = false;
    char quote = 0;
    while (pos < line.size()) {
        char b = line[pos];
        if (quote) {
            // Multi-byte characters never contain a quote byte.
            if (b == quote) {
                out.push_back(line.substr(start, pos - start));
                quote = 0;
            }
            ++pos;
            continue;
        }
        std::size_t len = 1;
        char32_t c = static_cast<unsigned char>(b);
        if (c >= 0x80) c = decode_utf8(line, pos, len);
        if (is_unicode_space(c)) {
            if (in_token) out.push_back(line.substr(start, pos - start));
            in_token = false;
        } else if (!in_token && (b == '\'' || b == '"')) {
            quote = b;
            start = pos + 1;
        } else if (!in_token && b == '#') {
            return;
        } else if (!in_token) {
            start = pos;
            in_token = true;
        }
        pos += len;
    }
    if (quote) {
        if (pos > start) out.push_back(line.substr(start));
    } else if (in_token) {
        out.push_back(line.substr(start));
    }
}

std::string join_tokens(const std::vector<std::string_view>& tokens, std::size_t from) {
    std::string value;
    for (std::size_t i = from; i < tokens.size(); ++i) {
        if (i > from) value.push_back(' ');
        value.append(tokens[i]);
    }
    return value;
}

// Items and loops of one data block, before merging.
struct RawBlock {
    std::string name;  // after "data_"; empty before the first data_ line
    std::vector<std::pair<std::string, std::string>> items;
    std::vector<Loop> loops;
    bool has_sites = false;
};

class BlockParser {
public:
    BlockParser(std::string_view text, std::deque<std::string>& storage)
        : lines_(split_lines(text)), storage_(storage) {
        blocks_.emplace_back();
    }

    std::vector<RawBlock> run() {
        std::size_t i = 0, n = lines_.size();
        while (i < n) {
            std::string_view t = trim(lines_[i]);
            if (t.empty() || t[0] == '#') {
                ++i;
            } else if (t[0] == ';') {
                i = skip_text_field(i);
            } else if (t.size() == 5 && starts_with_ascii_nocase(t, "loop_")) {
                i = read_loop(i + 1);
            } else if (t[0] == '_') {
                i = read_tag(i, t);
            } else {
                if (starts_with_ascii_nocase(t, "data_")) open_block(t.substr(5));
                ++i;
            }
        }
        return std::move(blocks_);
    }

private:
    // Starts the block of a data_ line; its name runs up to the first space.
    void open_block(std::string_view rest) {
        std::size_t end = 0;
        for (std::size_t next = 0; end < rest.size() && !take_space(rest, next);) end = next;
        blocks_.emplace_back();
        blocks_.back().name = rest.substr(0, end);
    }

    // Index of the closing line of the text field opened at line `open`, or n.
    std::size_t text_field_end(std::size_t open) const {
        std::size_t k = open + 1;
        while (k < lines_.size()) {
            std::string_view s = trim_start(lines_[k]);
            if (!s.empty() && s[0] == ';') break;
            ++k;
        }
        return k;
    }

    std::size_t skip_text_field(std::size_t open) const {
        return std::min(text_field_end(open) + 1, lines_.size());
    }

    // Value of the text field opened at `open`: its trimmed lines joined.
    std::string text_field(std::size_t open, std::size_t& next) const {
        std::size_t close = text_field_end(open);
        std::string value;
        for (std::size_t k = open + 1; k < close; ++k) value.append(trim(lines_[k]));
        next = std::min(close + 1, lines_.size());
        return value;
    }

    std::size_t read_tag(std::size_t i, std::string_view line) {
        tokenize_into(line, tokens_);
        std::string key = unicode_lower(tokens_[0]);
        if (tokens_.size() >= 2) {
            store(std::move(key), join_tokens(tokens_, 1));
            return i + 1;
        }
        std::size_t j = i + 1;
        while (j < lines_.size() && trim(lines_[j]).empty()) ++j;
        if (j == lines_.size()) return j;  // no value: the tag is dropped
        std::string_view t = trim(lines_[j]);
        if (t[0] == ';') {
            std::size_t next;
            std::string value = text_field(j, next);
            store(std::move(key), std::move(value));
            return next;
        }
        tokenize_into(t, tokens_);
        store(std::move(key), join_tokens(tokens_, 0));
        return j + 1;
    }

    void store(std::string key, std::string value) {
        blocks_.back().items.emplace_back(std::move(key), std::move(value));
    }

    std::size_t read_loop(std::size_t i) {
        Loop loop;
        std::size_t n = lines_.size();
        for (; i < n; ++i) {
            std::string_view t = trim(lines_[i]);
            if (t.empty() || t[0] == '#') continue;
            if (t[0] != '_') break;
            split_whitespace_into(t, tokens_);
            loop.tags.push_back(unicode_lower(tokens_[0]));
        }
        bool keep = !loop.tags.empty();
        for (; i < n; ++i) {
            std::string_view t = trim(lines_[i]);
            if (t.empty() || t[0] == '#') continue;
            if (t[0] == '_') break;
            if (t.size() >= 5 && (t.substr(0, 5) == "loop_" || t.substr(0, 5) == "data_")) break;
            if (t[0] == ';') {
                std::size_t next;
                std::string value = text_field(i, next);
                if (keep) {
                    storage_.push_back(std::move(value));
                    loop.values.push_back(storage_.back());
                }
                i = next - 1;
                continue;
            }
            if (!keep) continue;
            tokenize_into(t, tokens_);
            loop.values.insert(loop.values.end(), tokens_.begin(), tokens_.end());
        }
        if (keep) {
            loop.values.resize(loop.n_rows() * loop.tags.size());  // drop an incomplete row
            if (loop.column("_atom_site_fract_x")) blocks_.back().has_sites = true;
            blocks_.back().loops.push_back(std::move(loop));
        }
        return i;
    }

    std::vector<std::string_view> lines_;
    std::deque<std::string>& storage_;
    std::vector<RawBlock> blocks_;
    std::vector<std::string_view> tokens_;
};

}  // namespace

std::vector<std::string_view> tokenize(std::string_view line) {
    std::vector<std::string_view> tokens;
    tokenize_into(line, tokens);
    return tokens;
}

std::optional<std::size_t> Loop::column(std::string_view tag) const {
    for (std::size_t k = 0; k < tags.size(); ++k)
        if (tags[k] == tag) return k;
    return std::nullopt;
}

std::optional<double> Block::number(const std::string& tag) const {
    auto it = items.find(tag);
    if (it == items.end()) return std::nullopt;
    return parse_cif_number(it->second);
}

namespace {

// At most this many block names go into a message.
constexpr std::size_t listed_names = 10;

// "'a', 'b', 'c'" for the blocks `picked` (indices into `raw`), cut after
// the first few.
std::string quoted_names(const std::vector<RawBlock>& raw, const std::vector<std::size_t>& picked) {
    std::string out;
    for (std::size_t k = 0; k < picked.size() && k < listed_names; ++k) {
        if (k) out += ", ";
        out += "'" + raw[picked[k]].name + "'";
    }
    if (picked.size() > listed_names) out += ", ... (" + std::to_string(picked.size()) + " in all)";
    return out;
}

// The data_ blocks (raw[0] holds what precedes the first data_ line).
std::vector<std::size_t> data_blocks(const std::vector<RawBlock>& raw) {
    std::vector<std::size_t> out;
    for (std::size_t b = 1; b < raw.size(); ++b) out.push_back(b);
    return out;
}

std::string available(const std::vector<RawBlock>& raw) {
    std::vector<std::size_t> all = data_blocks(raw);
    if (all.empty()) return "the CIF has no data_ blocks";
    return "the CIF has " + std::to_string(all.size()) + " data block" + (all.size() == 1 ? "" : "s") +
           ": " + quoted_names(raw, all);
}

// Index into `raw` of the block that `choice` names.
Result<std::size_t> chosen_block(const std::vector<RawBlock>& raw, const BlockChoice& choice) {
    if (choice.name) {
        std::string wanted = unicode_lower(*choice.name);
        for (std::size_t b = 1; b < raw.size(); ++b)
            if (unicode_lower(raw[b].name) == wanted) return b;
        return fail("no data block named '", *choice.name, "'; ", available(raw));
    }
    long long n = static_cast<long long>(raw.size()) - 1;
    long long i = *choice.index < 0 ? n + *choice.index : *choice.index;
    if (i < 0 || i >= n)
        return fail("data block index ", std::to_string(*choice.index), " is out of range; ", available(raw));
    return static_cast<std::size_t>(i + 1);
}

// Notes the blocks with atom sites after `end`, which the default leaves out.
void note_later_blocks(const std::vector<RawBlock>& raw, std::size_t end, ReadNotes& notes) {
    std::vector<std::size_t> ignored;
    for (std::size_t b = end; b < raw.size(); ++b)
        if (raw[b].has_sites) ignored.push_back(b);
    if (ignored.empty()) return;
    bool one = ignored.size() == 1;
    notes.add("read the first data block with atom sites and ignored ", std::to_string(ignored.size()),
              one ? " later one: " : " later ones: ", quoted_names(raw, ignored),
              " (choose a block with block=)");
}

}  // namespace

Result<Block> parse_block(std::string_view text, const BlockChoice& choice, ReadNotes* notes) {
    Block block;
    std::vector<RawBlock> raw = BlockParser(text, block.storage).run();
    std::size_t begin = 0, end = raw.size();
    if (choice.name || choice.index) {
        auto b = chosen_block(raw, choice);
        if (!b) return std::move(b).error();
        begin = *b;
        end = *b + 1;
    } else {
        // The structure comes from the first block with atom sites; blocks
        // before it (a global block, say) contribute, blocks after it do not.
        for (std::size_t b = 0; b < raw.size(); ++b) {
            if (raw[b].has_sites) {
                end = b + 1;
                break;
            }
        }
        if (notes) note_later_blocks(raw, end, *notes);
    }
    for (std::size_t b = begin; b < end; ++b) {
        for (auto& [key, value] : raw[b].items) block.items[std::move(key)] = std::move(value);
        for (auto& loop : raw[b].loops) block.loops.push_back(std::move(loop));
    }
    return block;
}

Block parse_block(std::string_view text) { return *parse_block(text, BlockChoice{}, nullptr); }

std::optional<double> parse_cif_number(std::string_view value) {
    std::string_view t = strip_quotes(trim(value));
    if (t.empty() || t == "." || t == "?") return std::nullopt;
    std::size_t paren = t.find('(');
    if (paren != std::string_view::npos) t = trim(t.substr(0, paren));
    return parse_decimal(t);
}

}  // namespace molvane
