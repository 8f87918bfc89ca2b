// CIF reader (placeholder until the reader lands).
#include "cif.hpp"

namespace molvane {

Result<Structure> parse_cif(std::string_view, double) {
    return fail("CIF reading is not available in this build");
}

}  // namespace molvane
