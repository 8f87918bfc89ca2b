// CIF syntax: the line tokenizer, data blocks (items and loops) and numbers.
#include "io/cif_syntax.hpp"

#include <cstdint>
#include <limits>
#include <utility>

#include "core/number.hpp"  // for parse_decimal
#include "core/text.hpp"  // for trim, strip_quotes, decode_utf8
#include "core/unicode_lower.hpp"

namespace molvane {

// ---------------------------------------------------------------------------
// Tokenizer and blocks
// ---------------------------------------------------------------------------

namespace {

// Tokens of one line appended to `out` (cleared first); `quoted`, when
// given, receives whether each token was written in quotes.
void tokenize_into(std::string_view line, std::vector<std::string_view>& out,
                   std::vector<std::uint8_t>* quoted = nullptr) {
    out.clear();
    if (quoted) quoted->clear();
    auto push = [&](std::string_view token, bool in_quotes) {
        out.push_back(token);
        if (quoted) quoted->push_back(in_quotes);
    };
    std::size_t pos = 0, start = 0;
    bool in_token = false;
    char quote = 0;
    while (pos < line.size()) {
        char b = line[pos];
        if (quote) {
            // Multi-byte characters never contain a quote byte.
            const std::size_t close = line.find(quote, pos);
            if (close == std::string_view::npos) {
                pos = line.size();
                break;
            }
            push(line.substr(start, close - start), true);
            quote = 0;
            pos = close + 1;
            continue;
        }
        std::size_t len = 1;
        const bool space = static_cast<unsigned char>(b) < 0x80 ? is_ascii_space(b)
                                                               : is_unicode_space(decode_utf8(line, pos, len));
        if (space) {
            if (in_token) push(line.substr(start, pos - start), false);
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
        // The rest of a token's ASCII letters at once.
        if (in_token)
            while (pos < line.size() && static_cast<unsigned char>(line[pos]) < 0x80 && !is_ascii_space(line[pos]))
                ++pos;
    }
    if (quote) {
        if (pos > start) push(line.substr(start), true);
    } else if (in_token) {
        push(line.substr(start), false);
    }
}

// A tag as blocks key it: lower case, and the first "." of a dotted name
// ("_cell.length_a", "_atom_site.fract_x") read as "_", which makes it the
// same item as its underscore form.
std::string tag_key(std::string_view tag) {
    std::string key = unicode_lower(tag);
    std::size_t dot = key.find('.');
    if (dot != std::string::npos) key[dot] = '_';
    return key;
}

// One token of the text: what it is and where it stands.
struct Token {
    enum class Kind { value, tag, loop, data, reserved };
    std::string_view text;  // a data_ token keeps its "data_"
    Kind kind = Kind::value;
    std::size_t line = 0;
    bool text_field = false;
};

// What an unquoted word is: a tag, a reserved word, or a value.
Token::Kind word_kind(std::string_view word) {
    if (word.empty()) return Token::Kind::value;
    if (word[0] == '_') return Token::Kind::tag;
    // Reserved words start with l, d, s or g in either case.
    const char first = to_ascii_lower(word[0]);
    if (first != 'l' && first != 'd' && first != 's' && first != 'g') return Token::Kind::value;
    if (equals_ascii_nocase(word, "loop_")) return Token::Kind::loop;
    if (starts_with_ascii_nocase(word, "data_")) return Token::Kind::data;
    if (starts_with_ascii_nocase(word, "save_") || equals_ascii_nocase(word, "global_") ||
        equals_ascii_nocase(word, "stop_"))
        return Token::Kind::reserved;
    return Token::Kind::value;
}

// The tokens of a CIF text, one at a time with one token of look-ahead. A
// line that starts with ";" opens a text field that runs to the next line
// starting with ";"; its value (the lines between, trimmed and joined) is
// kept in `storage`.
class Lexer {
public:
    Lexer(std::string_view text, std::deque<std::string>& storage) : text_(text), storage_(storage) {}

    // The next token without taking it; false at the end of the text.
    bool peek(Token& tok) {
        while (at_ == words_.size()) {
            if (pos_ == text_.size()) return false;
            load_line();
        }
        // Field by field: a whole Token built on the stack and copied stalls
        // on its partly written bytes.
        tok.text = words_[at_];
        tok.kind = quoted_[at_] ? Token::Kind::value : word_kind(words_[at_]);
        tok.line = word_line_;
        tok.text_field = field_;
        return true;
    }

    bool next(Token& tok) {
        if (!peek(tok)) return false;
        ++at_;
        return true;
    }

private:
    // The next line of the text (without its line break, "\n" or "\r\n"),
    // or false at the end.
    bool next_line(std::string_view& line) {
        if (pos_ == text_.size()) return false;
        std::size_t nl = text_.find('\n', pos_);
        std::size_t end = nl == std::string_view::npos ? text_.size() : nl;
        line = text_.substr(pos_, end - pos_);
        if (!line.empty() && nl != std::string_view::npos && line.back() == '\r') line.remove_suffix(1);
        pos_ = nl == std::string_view::npos ? text_.size() : nl + 1;
        ++line_;
        return true;
    }

    // Reads the tokens of the next line, or the whole text field it opens.
    void load_line() {
        words_.clear();
        quoted_.clear();
        at_ = 0;
        field_ = false;
        word_line_ = line_;
        std::string_view line;
        next_line(line);
        std::string_view t = trim(line);
        if (!t.empty() && t[0] == ';') {
            std::string value;
            while (next_line(line)) {
                std::string_view s = trim_start(line);
                if (!s.empty() && s[0] == ';') break;
                value.append(trim(line));
            }
            storage_.push_back(std::move(value));
            words_.push_back(storage_.back());
            quoted_.push_back(true);
            field_ = true;
            return;
        }
        tokenize_into(line, words_, &quoted_);
    }

    std::string_view text_;
    std::deque<std::string>& storage_;
    std::size_t pos_ = 0;        // start of the next line
    std::size_t line_ = 0;       // lines read
    std::size_t word_line_ = 0;  // line of the loaded tokens
    std::vector<std::string_view> words_;
    std::vector<std::uint8_t> quoted_;  // per word: written in quotes
    std::size_t at_ = 0;
    bool field_ = false;  // the loaded token is a text field
};

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

// The grammar over tokens: a tag takes the value after it (and, leniently,
// the further values on that value's line, joined by spaces, as unquoted
// symbols such as "P 21/c" are written); "loop_" takes the tags that follow
// it and then the values up to the next tag or reserved word.
class BlockParser {
public:
    BlockParser(std::string_view text, std::deque<std::string>& storage) : lex_(text, storage), text_(text) {
        blocks_.emplace_back();
    }

    std::vector<RawBlock> run() {
        Token tok;
        while (lex_.next(tok)) {
            if (tok.kind == Token::Kind::data) open_block(tok.text.substr(5));
            else if (tok.kind == Token::Kind::loop) read_loop();
            else if (tok.kind == Token::Kind::tag) read_item(tok);
            // Stray values and other reserved words are passed over.
        }
        return std::move(blocks_);
    }

private:
    void open_block(std::string_view name) {
        blocks_.emplace_back();
        blocks_.back().name = name;
    }

    // True when the next token is a value; it is taken into `tok`.
    bool next_value(Token& tok) {
        if (!lex_.peek(tok) || tok.kind != Token::Kind::value) return false;
        lex_.next(tok);
        return true;
    }

    void read_item(const Token& tag) {
        Token tok;
        if (!next_value(tok)) return;  // no value: the tag is dropped
        tokens_.assign(1, tok.text);
        if (!tok.text_field) {
            const std::size_t line = tok.line;
            Token more;
            while (lex_.peek(more) && more.line == line && !more.text_field && next_value(more))
                tokens_.push_back(more.text);
        }
        blocks_.back().items.emplace_back(tag_key(tag.text), join_tokens(tokens_, 0));
    }

    void read_loop() {
        Loop loop{{}, LoopValues(text_)};
        Token tok;
        while (lex_.peek(tok) && tok.kind == Token::Kind::tag) {
            lex_.next(tok);
            loop.tags.push_back(tag_key(tok.text));
        }
        const bool keep = !loop.tags.empty();
        while (next_value(tok))
            if (keep) loop.values.push_back(tok.text);
        if (!keep) return;
        loop.values.truncate(loop.n_rows() * loop.tags.size());  // drop an incomplete row
        if (loop.column("_atom_site_fract_x")) blocks_.back().has_sites = true;
        blocks_.back().loops.push_back(std::move(loop));
    }

    Lexer lex_;
    std::string_view text_;
    std::vector<RawBlock> blocks_;
    std::vector<std::string_view> tokens_;
};

}  // namespace

std::vector<std::string_view> tokenize(std::string_view line) {
    std::vector<std::string_view> tokens;
    tokenize_into(line, tokens);
    return tokens;
}

void LoopValues::push_back(std::string_view value) {
    if (size_ % chunk_size == 0) chunks_.emplace_back();
    Chunk& c = chunks_.back();
    const auto at = reinterpret_cast<std::uintptr_t>(value.data());
    const auto begin = reinterpret_cast<std::uintptr_t>(text_.data());
    bool in_text = at >= begin && at - begin <= text_.size() && value.size() <= text_.size() - (at - begin);
    std::size_t pos = at - begin;
    if (in_text && !c.has_base) {
        c.base = pos;
        c.has_base = true;
    }
    if (in_text && value.size() < held && pos >= c.base && pos - c.base <= std::numeric_limits<std::uint32_t>::max()) {
        c.offset.push_back(static_cast<std::uint32_t>(pos - c.base));
        c.length.push_back(static_cast<std::uint8_t>(value.size()));
    } else {
        c.offset.push_back(static_cast<std::uint32_t>(c.other.size()));
        c.length.push_back(held);
        c.other.push_back(value);
    }
    ++size_;
}

void LoopValues::truncate(std::size_t n) {
    if (n >= size_) return;
    chunks_.resize((n + chunk_size - 1) / chunk_size);
    if (!chunks_.empty() && n % chunk_size != 0) {
        Chunk& c = chunks_.back();
        c.offset.resize(n % chunk_size);
        c.length.resize(n % chunk_size);
    }
    size_ = n;
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
