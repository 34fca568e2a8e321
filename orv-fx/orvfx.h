// C-style interface of the ORV-fx audio-to-haptics library.
#pragma once

extern "C" {
// "Default", "Sharp", "Crunchy", "Smooth" for 0 to 3, "Invalid" for any other
// value; texts that live as long as the library.
const char* orvfx_preset_name(int preset);
}
