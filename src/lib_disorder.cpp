// Structure.expand_occupancies and disorder_summary (placeholder).
#include "lib.hpp"

namespace molvane {

std::vector<PyMethodDef> disorder_methods() { return {}; }

}  // namespace molvane
