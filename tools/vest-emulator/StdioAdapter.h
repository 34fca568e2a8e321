// Serves a vest over text streams, for trying the protocol by hand and for
// scripts: each input line is one host frame in hexadecimal ("08 AD DE AC
// 24" or "08addeac24"; '#' starts a comment); each frame of the vest is
// written as one line of spaced hexadecimal.
#pragma once

#include <chrono>
#include <iosfwd>
#include <optional>
#include <string>

#include "tools/vest-emulator/VestModel.h"

namespace vbz::emu {

std::optional<Frame> parseHexFrame(const std::string& line);
std::string hexFrame(const Frame& frame);

class StdioAdapter {
public:
    StdioAdapter(VestModel& vest, std::istream& in, std::ostream& out, std::ostream& err);
    // Runs until the input ends. After each frame the vest's replies are
    // written as they fall due, up to answerWait after the last one.
    // Returns the number of input lines that were not hexadecimal frames.
    int run(std::chrono::milliseconds answerWait);

private:
    VestModel& vest_;
    std::istream& in_;
    std::ostream& out_;
    std::ostream& err_;
};

}  // namespace vbz::emu
