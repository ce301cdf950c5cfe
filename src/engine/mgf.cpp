#include "engine/mgf.hpp"

#include <charconv>

#include "engine/float_repr.hpp"

namespace corvex::engine::mgf {

Block render_block(std::string& out, const mzml::SpectrumFields& spectrum, std::span<const double> mz,
                   std::span<const float> intensity) {
    if (spectrum.ms_level < 2) return Block::not_fragment;
    const auto& precursor = spectrum.precursor;
    if (!precursor || !(precursor->selected_mz || precursor->target_mz)) return Block::no_precursor_mz;
    char digits[24];
    out += "BEGIN IONS\nTITLE=";
    out += spectrum.native_id;
    out += "\nPEPMASS=";
    append_float_repr(out, precursor->selected_mz ? *precursor->selected_mz : *precursor->target_mz);
    if (precursor->intensity) {
        out += ' ';
        append_float_repr(out, *precursor->intensity);
    }
    if (precursor->charge) {
        const std::int64_t charge = *precursor->charge;
        const std::uint64_t magnitude = charge < 0 ? 0 - static_cast<std::uint64_t>(charge) : static_cast<std::uint64_t>(charge);
        out += "\nCHARGE=";
        out.append(digits, std::to_chars(digits, digits + sizeof digits, magnitude).ptr);
        out += charge < 0 ? '-' : '+';
    }
    out += "\nRTINSECONDS=";
    append_float_repr(out, spectrum.retention_time_sec);
    out += "\nSCANS=";
    out.append(digits, std::to_chars(digits, digits + sizeof digits, spectrum.scan_number).ptr);
    out += '\n';
    const std::size_t peaks = mz.size() < intensity.size() ? mz.size() : intensity.size();
    for (std::size_t i = 0; i < peaks; ++i) {
        // A line at a time: one append per peak.
        char line[2 * float_repr_capacity + 2];
        char* end = write_float_repr(line, mz[i]);
        *end++ = ' ';
        end = write_float_repr(end, intensity[i]);  // widened exactly, as Python widens it
        *end++ = '\n';
        out.append(line, static_cast<std::size_t>(end - line));
    }
    // Without peaks the head's last line break is the only one before END IONS.
    out += "END IONS\n\n";
    return Block::written;
}

}  // namespace corvex::engine::mgf
