#pragma once
// What a newcomer sees on the simulated phone: a plausible Android layout with a few photos,
// downloads and music, on an internal storage and an SD card.

#include "tools/phonesim/SimulatedPhone.h"

namespace phonesim {

// Two memory storages: "Internal shared storage" (64 GB) and a removable "SD card" (32 GB).
PhoneConfig demoPhoneConfig();

// Fills the first storage (and the second, if there is one) with the demo content, about
// 25 MB in all, with fixed dates. Throws std::invalid_argument if a demo path already exists.
void addDemoContent(SimulatedPhone& phone);

}  // namespace phonesim
