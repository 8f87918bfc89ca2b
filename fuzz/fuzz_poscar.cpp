// POSCAR/CONTCAR text through parse_poscar.
#include <string>

#include "io/poscar.hpp"
#include "fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    auto structure = molvane::parse_poscar(text);
    if (structure) {
        if (structure->sites().empty()) fuzz::finding("parse_poscar built a structure without sites");
        (void)structure->composition();
    } else if (structure.error().message.empty()) {
        fuzz::finding("parse_poscar failed without a message");
    }
    return 0;
}
