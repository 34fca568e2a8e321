#include "tools/vest-emulator/StdioAdapter.h"

#include <cctype>
#include <istream>
#include <ostream>

namespace vbz::emu {

namespace {
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}
}  // namespace

std::optional<Frame> parseHexFrame(const std::string& line) {
    Frame frame;
    int high = -1;
    for (char c : line) {
        if (c == '#') break;
        if (std::isspace(static_cast<unsigned char>(c)) || c == ',' || c == ':') {
            if (high >= 0) return std::nullopt;  // a lone digit
            continue;
        }
        const int v = hexValue(c);
        if (v < 0) return std::nullopt;
        if (high < 0) {
            high = v;
        } else {
            frame.push_back(static_cast<uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    if (high >= 0) return std::nullopt;
    return frame;
}

std::string hexFrame(const Frame& frame) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < frame.size(); ++i) {
        if (i) text.push_back(' ');
        text.push_back(kDigits[frame[i] >> 4]);
        text.push_back(kDigits[frame[i] & 0x0F]);
    }
    return text;
}

StdioAdapter::StdioAdapter(VestModel& vest, std::istream& in, std::ostream& out, std::ostream& err)
    : vest_(vest), in_(in), out_(out), err_(err) {}

int StdioAdapter::run(std::chrono::milliseconds answerWait) {
    int badLines = 0;
    int lineNumber = 0;
    std::string line;
    while (std::getline(in_, line)) {
        ++lineNumber;
        auto frame = parseHexFrame(line);
        if (!frame) {
            ++badLines;
            err_ << "line " << lineNumber << ": not a frame in hexadecimal\n";
            continue;
        }
        if (frame->empty()) continue;  // blank or comment
        vest_.receive(frame->data(), frame->size());
        while (auto reply = vest_.nextFrame(Clock::now() + answerWait))
            out_ << hexFrame(*reply) << '\n';
        out_.flush();
    }
    return badLines;
}

}  // namespace vbz::emu
