// Line-oriented driver over the CIF and symmetry readers for the Python
// tests: `cif_native MODE` reads stdin and prints one JSON value per case.
//   tokenize | number | symmop | lower : one case per input line
//   setting | hall | hm                : one case per input line (space groups)
//   block | symmetry                   : the whole input as one CIF text
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <map>
#include <string>

#include "io/cif.hpp"
#include "io/cif_syntax.hpp"
#include "io/spacegroup.hpp"
#include "core/unicode_lower.hpp"
#include "io/symmetry.hpp"

using namespace molvane;

static std::string json_str(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        unsigned char b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (b < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", b);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

static std::string json_num(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "Infinity" : "-Infinity";
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, end);
}

// Appends a separator (unless first) and an element.
static void add(std::string& out, bool first, const std::string& item) {
    if (!first) out += ',';
    out += item;
}

static std::string op_json(const SymmOp& op) {
    std::string out = "{\"rotation\":[";
    for (int i = 0; i < 3; ++i) {
        out += i ? ",[" : "[";
        for (int j = 0; j < 3; ++j) add(out, j == 0, json_num(op.rotation[i][j]));
        out += "]";
    }
    out += "],\"translation\":[";
    for (int i = 0; i < 3; ++i) add(out, i == 0, json_num(op.translation[i]));
    return out + "]}";
}

static std::string read_all() {
    return std::string((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
}

template <typename F>
static void per_line(F&& f) {
    std::string line;
    while (std::getline(std::cin, line)) std::cout << f(line) << '\n';
}

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    std::string mode = argv[1];
    if (mode == "tokenize") {
        per_line([](const std::string& line) {
            std::string out = "[";
            for (auto t : tokenize(line)) add(out, out.size() == 1, json_str(t));
            return out + "]";
        });
    } else if (mode == "number") {
        per_line([](const std::string& line) {
            auto v = parse_cif_number(line);
            return v ? json_num(*v) : std::string("null");
        });
    } else if (mode == "lower") {
        per_line([](const std::string& line) { return json_str(unicode_lower(line)); });
    } else if (mode == "symmop") {
        per_line([](const std::string& line) {
            auto op = parse_symmop(line);
            if (!op) {
                std::string err = "{\"error\":";
                err += json_str(op.error().message);
                return err + "}";
            }
            return op_json(*op);
        });
    } else if (mode == "setting") {
        per_line([](const std::string& line) {
            auto g = SpaceGroup::from_hall_number(std::atoi(line.c_str()));
            if (!g) return std::string("null");
            std::string out = "{\"number\":" + std::to_string(g->it_number());
            out += ",\"hall\":" + json_str(g->hall_symbol()) + ",\"full\":" + json_str(g->hm_full());
            out += ",\"short\":" + json_str(g->hm_short()) + ",\"choice\":" + json_str(g->choice());
            out += ",\"ops\":[";
            for (std::size_t k = 0; k < g->n_operations(); ++k) add(out, k == 0, op_json(g->operation(k)));
            return out + "]}";
        });
    } else if (mode == "hall") {
        per_line([](const std::string& line) {
            auto g = find_hall_symbol(line);
            return g ? std::to_string(g->hall_number()) : std::string("null");
        });
    } else if (mode == "hm") {
        per_line([](const std::string& line) {
            auto m = find_hm_symbol(line, false);
            if (!m) return std::string("null");
            std::string out = "[";
            out += std::to_string(m->group.hall_number());
            out += m->origin_assumed ? ",true]" : ",false]";
            return out;
        });
    } else if (mode == "symmetry") {
        std::string text = read_all();
        Block block = parse_block(text);
        auto read = symmetry_from_block(block);
        if (!read) {
            std::cout << "{\"error\":" << json_str(read.error().message) << "}\n";
            return 0;
        }
        const CifSymmetry& sym = *read;
        static const char* sources[] = {"loop", "hall", "hm", "it_number", "identity"};
        std::cout << "{\"source\":\"" << sources[static_cast<int>(sym.source)] << "\",\"hall\":" << sym.hall_number
                  << ",\"assumed\":" << (sym.origin_assumed ? "true" : "false") << ",\"n_ops\":" << sym.ops.size()
                  << ",\"unknown\":[" << json_str(sym.unknown_tag) << "," << json_str(sym.unknown_symbol) << "]}\n";
    } else if (mode == "block") {
        std::string text = read_all();
        Block block = parse_block(text);
        std::map<std::string, std::string> items(block.items.begin(), block.items.end());
        std::string out = "{\"items\":{";
        bool first = true;
        for (auto& [k, v] : items) {
            add(out, first, json_str(k));
            out += ':';
            out += json_str(v);
            first = false;
        }
        out += "},\"loops\":[";
        for (std::size_t l = 0; l < block.loops.size(); ++l) {
            const Loop& loop = block.loops[l];
            out += l ? ",{\"tags\":[" : "{\"tags\":[";
            for (std::size_t k = 0; k < loop.tags.size(); ++k) add(out, k == 0, json_str(loop.tags[k]));
            out += "],\"rows\":[";
            for (std::size_t r = 0; r < loop.n_rows(); ++r) {
                out += r ? ",[" : "[";
                for (std::size_t k = 0; k < loop.tags.size(); ++k)
                    add(out, k == 0, json_str(loop.value(r, k)));
                out += "]";
            }
            out += "]}";
        }
        std::cout << out << "]}\n";
    } else {
        return 2;
    }
    return 0;
}
