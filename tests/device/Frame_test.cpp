// Frame layout, CRC, answer lengths, device errors and the serial number.
#include "device/Frame.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "tests/support/LogCapture.h"

using namespace vbz;

TEST(Crc, MatchesTheCcittFalseCheckValueAndTheKnownRequestFrames) {
    const char* digits = "123456789";
    EXPECT_EQ(crc16(reinterpret_cast<const uint8_t*>(digits), 9), 0x29B1);

    const std::array<uint8_t, 5> serial{0x08, 0xAD, 0xDE, 0xAC, 0x24};
    const std::array<uint8_t, 5> discover{0x10, 0xAD, 0xDE, 0x6E, 0xCE};
    EXPECT_EQ(shortFrame(DeviceCommand::GetSerialNumber), serial);
    EXPECT_EQ(shortFrame(DeviceCommand::Discover), discover);
    EXPECT_TRUE(checkCommandCrc16(serial.data(), 5));
    EXPECT_TRUE(checkCommandCrc16(discover.data(), 5));
}

TEST(Crc, EverySingleBitFlipFailsTheCheck) {
    std::vector<std::vector<uint8_t>> frames;
    const auto serial = shortFrame(DeviceCommand::GetSerialNumber);
    const auto discover = shortFrame(DeviceCommand::Discover);
    frames.emplace_back(serial.begin(), serial.end());
    frames.emplace_back(discover.begin(), discover.end());
    // A full-length version answer as well: the check must cover all of it.
    std::vector<uint8_t> version(105, 0);
    version[0] = 0x89;
    version[1] = kSyncByte1;
    version[2] = kSyncByte2;
    std::memcpy(version.data() + 3, "1.2.3-long-version", 18);
    commandCrc16(version.data(), 105);
    frames.push_back(version);

    for (auto frame : frames) {
        const auto n = static_cast<uint16_t>(frame.size());
        ASSERT_TRUE(checkCommandCrc16(frame.data(), n));
        for (std::size_t byte = 0; byte < frame.size(); ++byte) {
            for (int bit = 0; bit < 8; ++bit) {
                frame[byte] ^= static_cast<uint8_t>(1u << bit);
                EXPECT_FALSE(checkCommandCrc16(frame.data(), n)) << "byte " << byte << " bit " << bit;
                frame[byte] ^= static_cast<uint8_t>(1u << bit);
            }
        }
    }
}

TEST(Crc, SyncWordIsNotCheckedAndDegenerateInputsFailSafely) {
    std::array<uint8_t, 9> answer{0x88, 0x00, 0x00, 0x2A, 0x00, 0x03, 0x15, 0, 0};
    commandCrc16(answer.data(), 9);
    EXPECT_TRUE(checkCommandCrc16(answer.data(), 9));

    std::array<uint8_t, 2> empty{0x12, 0x34};
    commandCrc16(empty.data(), 2);  // nothing covered: the initial value
    EXPECT_EQ(empty[0], 0xFF);
    EXPECT_EQ(empty[1], 0xFF);
    EXPECT_TRUE(checkCommandCrc16(empty.data(), 2));

    std::array<uint8_t, 1> one{0xFF};
    EXPECT_FALSE(checkCommandCrc16(one.data(), 1));
    EXPECT_FALSE(checkCommandCrc16(one.data(), 0));
    EXPECT_FALSE(checkCommandCrc16(nullptr, 5));
    commandCrc16(nullptr, 5);      // no crash
    commandCrc16(one.data(), 1);   // untouched
    EXPECT_EQ(one[0], 0xFF);
}

TEST(AnswerLengths, HoldTheTwentyFiveMessagesTheHostAccepts) {
    const auto& t = answerLengths();
    EXPECT_EQ(t.size(), 25u);
    const std::map<uint8_t, uint32_t> some = {{0x81, 11}, {0x88, 9},  {0x89, 105}, {0x8A, 9},
                                              {0x8C, 37}, {0x8E, 52}, {0x93, 7},   {0xA0, 10},
                                              {0xFF, 6},  {0x15, 5},  {0x16, 13}};
    for (const auto& [id, length] : some) {
        ASSERT_EQ(t.count(id), 1u) << int(id);
        EXPECT_EQ(t.at(id), length) << int(id);
    }
    for (const auto& [id, length] : t) {
        EXPECT_GE(length, 5u);
        EXPECT_LE(length, kLongestAnswerLength);
    }
    // Host requests are never accepted as messages from the vest.
    for (uint8_t id : {0x01, 0x08, 0x09, 0x0A, 0x13, 0x14, 0x96}) EXPECT_EQ(t.count(id), 0u);
}

TEST(SerialNumber, IsTheDecimalTextOfTheThreeFields) {
    auto serialOf = [](uint16_t low, uint8_t middle, uint8_t high) {
        std::array<uint8_t, 9> f{0x88, 0xAD, 0xDE, 0, 0, middle, high, 0, 0};
        writeU16(f.data() + 3, low);
        return serialFromFields(f.data());
    };
    EXPECT_EQ(serialOf(42, 3, 21), 21030042);
    EXPECT_EQ(serialOf(0xFFFF, 0xFF, 0xFF), 252565535);
    EXPECT_EQ(serialOf(9999, 9, 9), 9099999);        // leading zero drops
    EXPECT_EQ(serialOf(5, 4, 123), 12040005);        // third digit of 123 overwritten
    EXPECT_EQ(serialOf(10000, 3, 21), 210310000);    // five-digit u16: nine digits
    EXPECT_EQ(serialOf(0, 0, 0), 0);
    EXPECT_EQ(serialFromFields(nullptr), 0);
}

TEST(VersionText, EndsAtTheFirstNulOrAfterTheWholePayload) {
    std::array<uint8_t, kLongestAnswerLength> f{};
    f[0] = answerId(DeviceCommand::GetVersion);
    std::memcpy(f.data() + 3, "1.4.2\0junk", 10);
    EXPECT_EQ(versionFromAnswer(f.data()), "1.4.2");
    // A text without NUL stops before the CRC.
    std::memset(f.data() + 3, 'v', kVersionTextLength + 2);
    EXPECT_EQ(versionFromAnswer(f.data()), std::string(kVersionTextLength, 'v'));
}

TEST(DeviceErrors, EachCodeLogsItsTextUnderHidComAndGivesMinusSix) {
    vbz_test::LogCapture log;
    const std::map<int, std::string> texts = {
        {-1, "The received message had an invalid CRC."},
        {-2, "The received message had an invalid command ID."},
        {-3, "The received message had an invalid sync word."},
        {-4, "The received message had invalid parameters."},
        {-5, "The command is not available on this type of connection."},
        {-6, "The provided remote address of port is invalid."},
        {-7, "Invalid internal state."},
        {5, "The received message had an error which code is unknown."},
        {0, "The received message had an error which code is unknown."},
        {-128, "The received message had an error which code is unknown."},
    };
    for (const auto& [code, text] : texts) {
        log.clear();
        EXPECT_EQ(logDeviceError(static_cast<int8_t>(code)), -6);
        EXPECT_TRUE(log.has("HidCom", text, 4)) << code;
        EXPECT_EQ(log.all().size(), 1u);
    }
}
