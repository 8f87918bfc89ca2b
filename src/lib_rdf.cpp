// Structure.prdf, total_rdf and available_threads (placeholder).
#include "lib.hpp"

namespace molvane {

std::vector<PyMethodDef> rdf_methods() { return {}; }

}  // namespace molvane
