// MGF blocks for search engines: one per fragment spectrum with a precursor
// m/z, numbers in Python's repr() form so that they read back to exactly
// the values the reader gave.
#pragma once

#include <span>
#include <string>

#include "engine/mzml_elements.hpp"

namespace corvex::engine::mgf {

enum class Block {
    written,
    not_fragment,     // MS level below 2: not written
    no_precursor_mz,  // a fragment spectrum without a precursor m/z cannot be searched: left out
};

// Appends the block of `spectrum` to `out` when it has one: TITLE (the
// native id), PEPMASS (the selected precursor m/z, else the isolation
// target, then the precursor intensity when known), CHARGE when known,
// RTINSECONDS, SCANS, and one "m/z intensity" line per peak.
Block render_block(std::string& out, const mzml::SpectrumFields& spectrum, std::span<const double> mz,
                   std::span<const float> intensity);

}  // namespace corvex::engine::mgf
