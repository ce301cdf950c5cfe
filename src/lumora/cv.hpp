// PSI-MS controlled-vocabulary terms that records carry.
#pragma once

#include <string_view>

namespace lumora::cv {

// A controlled-vocabulary constant. The constructor is consteval, so a Term
// can only be made from compile-time text: its views always point at static
// storage and a CvTerm may borrow them for ever without copying.
struct Term {
    std::string_view accession;
    std::string_view name;

    consteval Term(std::string_view accession_text, std::string_view name_text)
        : accession(accession_text), name(name_text) {}

    friend constexpr bool operator==(const Term&, const Term&) = default;
};

// File and native-id formats.
inline constexpr Term abi_wiff_format{"MS:1000562", "ABI WIFF format"};
inline constexpr Term scan_number_only_native_id_format{"MS:1000776",
                                                        "scan number only nativeID format"};

// Chromatogram kinds.
inline constexpr Term total_ion_current_chromatogram{"MS:1000235",
                                                     "total ion current chromatogram"};

// Instrument models. The generic SCIEX term stands in for any model that has
// no term of its own.
inline constexpr Term sciex_instrument_model{"MS:1000121", "SCIEX instrument model"};
inline constexpr Term qtrap_5500{"MS:1000931", "QTRAP 5500"};
inline constexpr Term qtrap_6500{"MS:1002581", "QTRAP 6500"};
inline constexpr Term qtrap_6500_plus{"MS:1002582", "QTRAP 6500+"};
inline constexpr Term triple_tof_5600{"MS:1000932", "TripleTOF 5600"};
inline constexpr Term triple_tof_5600_plus{"MS:1002584", "TripleTOF 5600+"};
inline constexpr Term triple_tof_6600{"MS:1002533", "TripleTOF 6600"};
inline constexpr Term zeno_tof_7600{"MS:1003293", "ZenoTOF 7600"};

}  // namespace lumora::cv
