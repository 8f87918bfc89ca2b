// CIF syntax: the line tokenizer, data blocks (items and loops) and numbers.
#include "io/cif_syntax.hpp"

#include <utility>

#include "core/text.hpp"  // for trim, split_lines, parse_decimal, decode_utf8
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

bool starts_with_nocase(std::string_view s, std::string_view lower_prefix) {
    if (s.size() < lower_prefix.size()) return false;
    for (std::size_t i = 0; i < lower_prefix.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower_prefix[i]) return false;
    }
    return true;
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
            } else if (t.size() == 5 && starts_with_nocase(t, "loop_")) {
                i = read_loop(i + 1);
            } else if (t[0] == '_') {
                i = read_tag(i, t);
            } else {
                if (starts_with_nocase(t, "data_")) blocks_.emplace_back();
                ++i;
            }
        }
        return std::move(blocks_);
    }

private:
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
            std::size_t end = 0;
            while (end < t.size()) {
                std::size_t len;
                if (is_unicode_space(decode_utf8(t, end, len))) break;
                end += len;
            }
            loop.tags.push_back(unicode_lower(t.substr(0, end)));
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

Block parse_block(std::string_view text) {
    Block block;
    std::vector<RawBlock> raw = BlockParser(text, block.storage).run();
    // The structure comes from the first block with atom sites; blocks before
    // it (a global block, say) contribute, blocks after it are left out.
    std::size_t end = raw.size();
    for (std::size_t b = 0; b < raw.size(); ++b) {
        if (raw[b].has_sites) {
            end = b + 1;
            break;
        }
    }
    for (std::size_t b = 0; b < end; ++b) {
        for (auto& [key, value] : raw[b].items) block.items[std::move(key)] = std::move(value);
        for (auto& loop : raw[b].loops) block.loops.push_back(std::move(loop));
    }
    return block;
}

std::optional<double> parse_cif_number(std::string_view value) {
    std::string_view t = trim(value);
    while (!t.empty() && t.front() == '\'') t.remove_prefix(1);
    while (!t.empty() && t.back() == '\'') t.remove_suffix(1);
    while (!t.empty() && t.front() == '"') t.remove_prefix(1);
    while (!t.empty() && t.back() == '"') t.remove_suffix(1);
    if (t.empty() || t == "." || t == "?") return std::nullopt;
    std::size_t paren = t.find('(');
    if (paren != std::string_view::npos) t = trim(t.substr(0, paren));
    return parse_decimal(t);
}

}  // namespace molvane
