#include <cstdlib>

#include "corvex/raw/ion_source.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parameter = corvex::raw::SourceParameter::from_bytes(corvex::raw::ByteView(data, size));
    // A name of n UTF-16 bytes never takes more than 3n/2 bytes of UTF-8.
    if (parameter && parameter->name.size() * 2 > 3 * (size - 40)) std::abort();
    return 0;
}
