// The serial scale's answer to DC1, as read from the port.
#include <cmath>

#include "devices/scale/Weighter.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dralmin::fuzz;
  double weight = 0;
  try {
    weight = dralmin::DecodeWeightAnswer(AsText(data, size));
  } catch (const dralmin::WeighterException&) {
    return 0;
  }
  // The reply prints the value with "%f": a NaN would reach the page as "nan", which no script
  // reads as a number.
  Require(!std::isnan(weight), "a weight is a number");
  Require(!std::isinf(weight) || weight > 0, "the only infinite reading is the overload");
  return 0;
}
