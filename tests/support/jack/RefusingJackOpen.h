// A link-time double of libjack's jack_client_open for the test binaries that
// link RefusingJackOpen.cpp: every open goes on to libjack, but for one that
// the test arms, which fails as an open that the server refused does (null,
// JackFailure | JackServerError), as jackd refuses a client whose open a
// stall caught. Only opens without the optional arguments (ours and
// PortAudio's) are forwarded faithfully.
#pragma once

namespace vbz_test {

// The next open of a client named `clientName` is refused.
void refuseNextJackOpen(const char* clientName);
// True once an armed refusal has happened (and clears it).
bool jackOpenWasRefused();

}  // namespace vbz_test
