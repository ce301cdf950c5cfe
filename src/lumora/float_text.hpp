// Float values as text for the text-valued `extra` maps.
#pragma once

#include <string>

namespace lumora {

// The shortest decimal text that reads back as exactly the same value at the
// value's own width, always positional (never an exponent): 1e21 gives "1"
// and 21 zeros, 1e-7 gives "0.0000001". Integral values have no decimal
// point; negatives, negative zero included, carry "-". Non-finite values give
// "NaN", "inf" and "-inf".
std::string float_text(double value);
std::string float_text(float value);

}  // namespace lumora
