// Symmetry operation strings: a small scanner over components and terms.
#include "io/symmetry.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/number.hpp"  // for parse_decimal
#include "core/text.hpp"  // for trim, strip_quotes, split_whitespace, is_ascii

namespace molvane {

SymmOp SymmOp::identity() {
    SymmOp op;
    op.rotation = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    return op;
}

double wrap_unit(double v) { return v - std::floor(v); }

Vec3 SymmOp::apply_wrapped(const Vec3& f) const {
    Vec3 out;
    for (int i = 0; i < 3; ++i) {
        const Vec3& r = rotation[i];
        double v = ((r[0] * f[0] + r[1] * f[1]) + r[2] * f[2]) + translation[i];
        out[i] = wrap_unit(v);
    }
    return out;
}

Result<double> parse_number(std::string_view text) {
    std::string_view t = trim(text);
    std::size_t slash = t.find('/');
    if (slash == std::string_view::npos) {
        auto v = parse_decimal(t);
        if (!v) return fail("bad number '", t, "'");
        return *v;
    }
    auto num = parse_decimal(trim(t.substr(0, slash)));
    auto den = parse_decimal(trim(t.substr(slash + 1)));
    if (!num || !den) return fail("bad number '", t, "'");
    if (*den == 0.0) return fail("division by zero in '", t, "'");
    return *num / *den;
}

// `s` without any Unicode whitespace character: `s` itself when it holds
// none (ASCII without spaces, the usual case), else a copy in `buffer`.
static std::string_view without_spaces(std::string_view s, std::string& buffer) {
    if (std::none_of(s.begin(), s.end(), [](char c) { return is_ascii_space(c) || (c & 0x80); })) return s;
    buffer.clear();
    for (std::string_view word : split_whitespace(s)) buffer.append(word);
    return buffer;
}

// Adds one signed term of `component` to the coefficients and constant.
static Result<bool> read_term(std::string_view term, std::string_view component, Vec3& coef,
                              double& constant) {
    double sign = 1.0;
    if (!term.empty() && (term[0] == '-' || term[0] == '+')) {
        if (term[0] == '-') sign = -1.0;
        term.remove_prefix(1);
    }
    if (term.empty()) return fail("dangling sign in '", component, "'");
    std::size_t p = term.find_first_of("xyzXYZ");
    if (p == std::string_view::npos) {
        auto value = parse_number(term);
        if (!value) return value.error();
        constant += sign * *value;
        return true;
    }
    char letter = term[p];
    int column = (letter == 'x' || letter == 'X') ? 0 : (letter == 'y' || letter == 'Y') ? 1 : 2;
    double multiplier = 1.0;
    if (p > 0) {
        std::string_view before = term.substr(0, p);
        // Only ASCII numbers can stand before the letter.
        if (!is_ascii(before)) return fail("cannot read symmetry term '", term, "'");
        while (!before.empty() && before.back() == '*') before.remove_suffix(1);
        auto m = parse_number(before);
        if (!m) return m.error();
        multiplier = *m;
    }
    std::string_view after = term.substr(p + 1);
    if (after.empty()) {
        coef[column] += sign * multiplier;
        return true;
    }
    if (after[0] != '/') return fail("cannot read symmetry term '", term, "'");
    while (!after.empty() && after[0] == '/') after.remove_prefix(1);
    auto divisor = parse_number(after);
    if (!divisor) return divisor.error();
    // A zero divisor after the letter is refused like "1/0".
    if (*divisor == 0.0) return fail("division by zero in '", term, "'");
    coef[column] += sign * (multiplier / *divisor);
    return true;
}

Result<SymmOp> parse_symmop(std::string_view text) {
    std::string_view op = trim(text);
    op = trim(strip_quotes(op));

    std::string_view parts[3];
    std::size_t count = 0, start = 0;
    for (;;) {
        std::size_t comma = op.find(',', start);
        std::string_view part = op.substr(start, comma == std::string_view::npos ? op.npos : comma - start);
        if (count < 3) parts[count] = part;
        ++count;
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    if (count != 3) return fail("expected 3 components in symmetry op '", op, "'");

    SymmOp result;
    std::string buffer;
    for (int i = 0; i < 3; ++i) {
        const std::string_view comp = without_spaces(parts[i], buffer);
        if (comp.empty()) return fail("empty symmetry component");
        Vec3 coef{0, 0, 0};
        double constant = 0.0;
        std::size_t term_start = 0;
        for (std::size_t k = 1; k <= comp.size(); ++k) {
            if (k == comp.size() || comp[k] == '+' || comp[k] == '-') {
                auto ok = read_term(comp.substr(term_start, k - term_start), comp, coef, constant);
                if (!ok) return ok.error();
                term_start = k;
            }
        }
        result.rotation[i] = coef;
        result.translation[i] = constant;
    }
    return result;
}

}  // namespace molvane
