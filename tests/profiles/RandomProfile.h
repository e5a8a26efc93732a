#pragma once

#include "profiles/ProfileSet.h"

#include <random>

namespace vx::test {

// A profile filled with seeded random values from the ranges the editors
// offer (lists, sliders, check boxes, box lengths). With `awayFromDefaults`
// every member that a file stores gets a value other than its default.
ProfileSet RandomProfile(std::mt19937 &rng, bool awayFromDefaults);

// What reading back the file of `written` gives, starting from a New set:
// the set itself apart from what the file format cannot keep ("8300" reads
// back as "8000", at most four key and sum fields, blanks around strings
// dropped, an empty function name is "N/A", DefaultAutomatic without
// DefaultEnabled reads as DefaultEnabled alone, separator characters are not
// stored, Keyboard shares its port pair with IR on a 7xx terminal, the block
// wait time is not stored while waiting for CR, record-structure slots keep
// their code only).
ProfileSet ExpectedAfterRoundTrip(const ProfileSet &written);

} // namespace vx::test
