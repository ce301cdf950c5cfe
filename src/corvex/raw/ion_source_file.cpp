// Kept apart from the probing logic so that code using only the decoders
// does not pull in the compound-file unit at link time.
#include "corvex/compound_file.hpp"
#include "corvex/raw/ion_source.hpp"

namespace corvex::raw {

std::vector<SourceParameter> find_ion_source_parameters(const CompoundFile& file) {
    return find_ion_source_parameters(
        [&file](std::string_view path) { return read_optional_stream(file, path); });
}

}  // namespace corvex::raw
