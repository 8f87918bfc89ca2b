// Magnetic symmetry operations: the time-reversal term and centerings.
#include "io/magnetic.hpp"

#include <string>

#include "core/text.hpp"  // for trim, strip_quotes

namespace molvane {

Result<MagneticOp> parse_magnetic_symmop(std::string_view text) {
    std::string_view op = trim(strip_quotes(trim(text)));
    std::size_t comma = op.rfind(',');
    if (comma == std::string_view::npos) return fail("expected 4 components in magnetic operation '", op, "'");
    std::string_view sign = trim(op.substr(comma + 1));
    MagneticOp out;
    if (sign == "+1" || sign == "1") out.time_reversal = 1;
    else if (sign == "-1") out.time_reversal = -1;
    else return fail("time-reversal term '", sign, "' of magnetic operation '", op, "' is not +1 or -1");
    auto spatial = parse_symmop(op.substr(0, comma));
    if (!spatial) return spatial.error();
    out.op = *spatial;
    return out;
}

Result<SymmOp> parse_superspace_positions(std::string_view text) {
    std::string_view op = trim(strip_quotes(trim(text)));
    std::size_t commas = 0, third = std::string_view::npos;
    for (std::size_t i = 0; i < op.size(); ++i) {
        if (op[i] != ',') continue;
        if (++commas == 3) third = i;
    }
    if (commas < 4) return fail("expected at least 5 components in superspace operation '", op, "'");
    std::string_view sign = trim(op.substr(op.rfind(',') + 1));
    if (sign != "+1" && sign != "1" && sign != "-1")
        return fail("time-reversal term '", sign, "' of superspace operation '", op, "' is not +1 or -1");
    std::string spatial;
    std::string_view head = op.substr(0, third);
    for (std::size_t i = 0; i < head.size(); ++i) {
        const char c = head[i];
        if ((c == 'x' || c == 'X') && i + 1 < head.size() && head[i + 1] >= '1' && head[i + 1] <= '3') {
            spatial.push_back("xyz"[head[i + 1] - '1']);
            ++i;
        } else {
            spatial.push_back(c);
        }
    }
    return parse_symmop(spatial);
}

std::vector<SymmOp> with_centerings(const std::vector<SymmOp>& ops, const std::vector<SymmOp>& centerings) {
    if (centerings.empty()) return ops;
    std::vector<SymmOp> out;
    out.reserve(ops.size() * centerings.size());
    for (const SymmOp& c : centerings) {
        for (const SymmOp& g : ops) {
            SymmOp cg;
            for (int i = 0; i < 3; ++i) {
                for (int j = 0; j < 3; ++j)
                    cg.rotation[i][j] = (c.rotation[i][0] * g.rotation[0][j] + c.rotation[i][1] * g.rotation[1][j]) +
                                        c.rotation[i][2] * g.rotation[2][j];
                cg.translation[i] = ((c.rotation[i][0] * g.translation[0] + c.rotation[i][1] * g.translation[1]) +
                                     c.rotation[i][2] * g.translation[2]) +
                                    c.translation[i];
            }
            out.push_back(cg);
        }
    }
    return out;
}

}  // namespace molvane
