#pragma once

namespace dralmin {

// The scale did not answer as its protocol says (no ACK to ENQ, an answer too short to read).
class WeighterException {};

}  // namespace dralmin
