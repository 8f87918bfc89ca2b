// Space-group lookup over the generated table of Hall settings.
#include "io/spacegroup.hpp"

#include <algorithm>
#include <cmath>

#include "core/text.hpp"  // for decode_utf8, is_unicode_space

namespace molvane {

namespace {

struct Setting {
    std::uint8_t number;
    std::uint16_t first;  // index of the first operation in kOperations
    std::uint8_t count;
    const char* hall;
    const char* full;
    const char* short_name;
    const char* choice;
    const char* names;  // H-M spellings separated by '='
};

#include "io/spacegroup_table.inc"

static_assert(sizeof kSettings / sizeof kSettings[0] == SpaceGroup::n_settings);

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// A normalised symbol in a fixed buffer; a text too long for it matches nothing.
class Key {
public:
    void push(char c) {
        if (n_ < sizeof buf_) buf_[n_++] = c;
        else valid_ = false;
    }
    void append(std::string_view bytes) {
        for (char c : bytes) push(c);
    }
    // A combining overbar on the digit just written: "3\u0305" -> "-3".
    void bar_last_digit() {
        if (n_ == 0 || buf_[n_ - 1] < '0' || buf_[n_ - 1] > '9') return;
        char digit = buf_[n_ - 1];
        buf_[n_ - 1] = '-';
        push(digit);
    }
    bool valid() const { return valid_; }
    std::size_t size() const { return n_; }
    std::string_view view() const { return {buf_, n_}; }

private:
    char buf_[64];
    std::size_t n_ = 0;
    bool valid_ = true;
};

// Calls f(code point, its bytes) for each character of UTF-8 text.
template <typename F>
void for_each_char(std::string_view text, F&& f) {
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t len = 1;
        char32_t c = static_cast<unsigned char>(text[pos]);
        if (c >= 0x80) c = decode_utf8(text, pos, len);
        f(c, text.substr(pos, len));
        pos += len;
    }
}

// H-M symbol: no spaces, underscores, "~" or parentheses, lower case, the
// minus sign and combining overbars read as "-".
Key hm_key(std::string_view symbol) {
    Key key;
    for_each_char(symbol, [&](char32_t c, std::string_view bytes) {
        if (is_unicode_space(c) || c == '_' || c == '~' || c == '(' || c == ')') return;
        if (c < 0x80) key.push(lower(static_cast<char>(c)));
        else if (c == 0x2212) key.push('-');
        else if (c == 0x0304 || c == 0x0305) key.bar_last_digit();
        else key.append(bytes);
    });
    return key;
}

// Hall symbol: lower case, runs of spaces as one space, no outer spaces.
Key hall_key(std::string_view symbol) {
    Key key;
    bool gap = false;
    for_each_char(symbol, [&](char32_t c, std::string_view bytes) {
        if (is_unicode_space(c)) {
            gap = key.size() > 0;
            return;
        }
        if (gap) key.push(' ');
        gap = false;
        if (c < 0x80) key.push(lower(static_cast<char>(c)));
        else key.append(bytes);
    });
    return key;
}

bool names_contain(const char* names, std::string_view body) {
    std::string_view all = names;
    for (std::size_t start = 0;;) {
        std::size_t end = all.find('=', start);
        Key k = hm_key(all.substr(start, end == all.npos ? all.npos : end - start));
        if (k.valid() && k.view() == body) return true;
        if (end == all.npos) return false;
        start = end + 1;
    }
}

// A setting code split into its origin choice ('1', '2' or 0 for none) and
// the rest (axes, cell choice): "1cab" -> ('1', "cab"), "b1" -> (0, "b1").
struct Code {
    char origin = 0;
    std::string_view rest;
};

Code split_code(std::string_view code) {
    if (!code.empty() && (code[0] == '1' || code[0] == '2')) return {code[0], code.substr(1)};
    return {0, code};
}

bool is_axes(std::string_view rest) { return equal_nocase(rest, "h") || equal_nocase(rest, "r"); }

// The first setting in table order accepted by `in_group` whose code agrees
// with `wanted`; R groups whose axes are not named follow the cell.
template <typename Pred>
std::optional<SpaceGroupMatch> select(Pred in_group, Code wanted, bool rhombohedral_cell) {
    for (int i = 0; i < SpaceGroup::n_settings; ++i) {
        if (!in_group(kSettings[i])) continue;
        Code code = split_code(kSettings[i].choice);
        if (wanted.origin && wanted.origin != code.origin) continue;
        if (!wanted.rest.empty() && !equal_nocase(wanted.rest, code.rest)) continue;
        if (wanted.rest.empty() && is_axes(code.rest) && equal_nocase(code.rest, "r") != rhombohedral_cell)
            continue;
        bool assumed = !wanted.origin && code.origin == '1';
        return SpaceGroupMatch{*SpaceGroup::from_hall_number(i + 1), assumed};
    }
    return std::nullopt;
}

}  // namespace

std::optional<SpaceGroup> SpaceGroup::from_hall_number(int hall_number) {
    if (hall_number < 1 || hall_number > n_settings) return std::nullopt;
    return SpaceGroup(hall_number - 1);
}

int SpaceGroup::it_number() const { return kSettings[index_].number; }
std::string_view SpaceGroup::hall_symbol() const { return kSettings[index_].hall; }
std::string_view SpaceGroup::hm_full() const { return kSettings[index_].full; }
std::string_view SpaceGroup::hm_short() const { return kSettings[index_].short_name; }
std::string_view SpaceGroup::choice() const { return kSettings[index_].choice; }
std::size_t SpaceGroup::n_operations() const { return kSettings[index_].count; }

SymmOp SpaceGroup::operation(std::size_t k) const {
    const auto& pair = kOperations[kSettings[index_].first + k];
    const std::int8_t* r = kRotations[pair[0]];
    const std::uint8_t* t = kTranslations[pair[1]];
    SymmOp op;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) op.rotation[i][j] = r[3 * i + j];
        op.translation[i] = t[i] / 12.0;  // correctly rounded, as "1/3" reads
    }
    return op;
}

std::optional<SpaceGroup> find_hall_symbol(std::string_view symbol) {
    Key key = hall_key(symbol);
    if (!key.valid() || key.size() == 0) return std::nullopt;
    for (int i = 0; i < SpaceGroup::n_settings; ++i) {
        Key k = hall_key(kSettings[i].hall);
        if (k.view() == key.view()) return SpaceGroup::from_hall_number(i + 1);
    }
    return std::nullopt;
}

std::optional<SpaceGroupMatch> find_hm_symbol(std::string_view symbol, bool rhombohedral_cell) {
    Key key = hm_key(symbol);
    if (!key.valid()) return std::nullopt;
    std::string_view body = key.view(), setting;
    std::size_t colon = body.find(':');
    if (colon != body.npos) {
        setting = body.substr(colon + 1);
        body = body.substr(0, colon);
    } else if (body.size() > 2 && body[0] == 'r' && (body.back() == 'h' || body.back() == 'r')) {
        setting = body.substr(body.size() - 1);
        body.remove_suffix(1);
    } else if (body.size() > 2 && (body.back() == 's' || body.back() == 'z')) {
        setting = body.back() == 's' ? "1" : "2";
        body.remove_suffix(1);
    }
    if (body.empty()) return std::nullopt;
    return select([&](const Setting& s) { return names_contain(s.names, body); }, split_code(setting),
                  rhombohedral_cell);
}

std::optional<SpaceGroupMatch> find_it_number(std::uint64_t number, bool rhombohedral_cell) {
    if (number < 1 || number > 230) return std::nullopt;
    return select([&](const Setting& s) { return s.number == number; }, Code{}, rhombohedral_cell);
}

namespace {

bool same_length(double x, double y, double scale) { return std::fabs(x - y) <= cell_length_tolerance * scale; }
bool same_angle(double x, double y) { return std::fabs(x - y) <= cell_angle_tolerance; }

// The unique axis of a monoclinic setting code ("b1", "-c2", "a"): 0, 1, 2.
int unique_axis(std::string_view code) {
    for (char ch : code) {
        if (ch == 'a' || ch == 'b' || ch == 'c') return ch - 'a';
    }
    return 1;
}

}  // namespace

std::string cell_misfit(const SpaceGroup& group, const CellParameters& cell) {
    const double scale = std::max({std::fabs(cell.a), std::fabs(cell.b), std::fabs(cell.c)});
    const double angles[3] = {cell.alpha, cell.beta, cell.gamma};
    const bool right[3] = {same_angle(cell.alpha, 90), same_angle(cell.beta, 90), same_angle(cell.gamma, 90)};
    const bool ab = same_length(cell.a, cell.b, scale), abc = ab && same_length(cell.a, cell.c, scale);
    const int n = group.it_number();
    if (n <= 2) return {};
    if (n <= 15) {
        const int u = unique_axis(group.choice());
        const char* names[3] = {"alpha", "beta", "gamma"};
        bool others = true;
        for (int k = 0; k < 3; ++k) others = others && (k == u || right[k]);
        if (others) return {};
        return std::string("monoclinic cells with unique axis ") + "abc"[u] + " have the two angles other than " +
               names[u] + " at 90 degrees";
    }
    if (n <= 74) {
        if (right[0] && right[1] && right[2]) return {};
        return "orthorhombic cells have all angles 90 degrees";
    }
    if (n <= 142) {
        if (ab && right[0] && right[1] && right[2]) return {};
        return "tetragonal cells have a = b and all angles 90 degrees";
    }
    if (n <= 194) {
        if (equal_nocase(group.choice(), "r")) {
            if (abc && same_angle(angles[0], angles[1]) && same_angle(angles[0], angles[2])) return {};
            return "rhombohedral axes have a = b = c and alpha = beta = gamma";
        }
        if (ab && right[0] && right[1] && same_angle(cell.gamma, 120)) return {};
        return n <= 167 ? "trigonal cells in hexagonal axes have a = b, alpha = beta = 90 and gamma = 120 degrees"
                        : "hexagonal cells have a = b, alpha = beta = 90 and gamma = 120 degrees";
    }
    if (abc && right[0] && right[1] && right[2]) return {};
    return "cubic cells have a = b = c and all angles 90 degrees";
}

}  // namespace molvane
