// Single-structure extended XYZ text through parse_extxyz.
#include <string>

#include "io/extxyz.hpp"
#include "fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    auto structure = molvane::parse_extxyz(text);
    if (structure) {
        if (structure->sites().empty()) fuzz::finding("parse_extxyz built a structure without sites");
        (void)structure->composition();
    } else if (structure.error().message.empty()) {
        fuzz::finding("parse_extxyz failed without a message");
    }
    return 0;
}
