#include <cstdlib>

#include "corvex/raw/calibration.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto calibration = corvex::raw::Calibration::from_bytes(corvex::raw::ByteView(data, size));
    if (calibration.has_value() != (size >= 48)) std::abort();
    return 0;
}
