#pragma once

#include <string>
#include <string_view>

namespace dralmin {

// The ScanDataEvent text for one code: its bytes as "0x.." values separated by blanks inside
// <datalabel>, which the agent decodes back byte for byte (no character set involved).
// `scannerId` tells the driver's devices apart.
std::string ScanDataXml(std::string_view code, int scannerId);

}  // namespace dralmin
