// CIF text through the whole reader: tokenizer, data blocks, symmetry
// operations and the builder, with symprec taken from the last input bytes.
#include <string>

#include "io/cif.hpp"
#include "io/cif_syntax.hpp"
#include "fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::uint8_t mode = in.ConsumeIntegral<std::uint8_t>();
    double symprec = 1e-4;
    if (mode >= 128) symprec = fuzz::awkward_double(in);
    std::string text = in.ConsumeRemainingBytesAsString();
    auto structure = molvane::parse_cif(text, symprec);
    if (structure) {
        if (structure->sites().empty()) fuzz::finding("parse_cif built a structure without sites");
        (void)structure->composition();
        (void)structure->n_atoms();
    } else if (structure.error().message.empty()) {
        fuzz::finding("parse_cif failed without a message");
    }
    return 0;
}
