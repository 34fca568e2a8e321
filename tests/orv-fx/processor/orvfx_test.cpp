// The C interface: refusals, null handles and buffers, the last error, and
// that it reaches the same processor as the C++ interface.
#include "orv-fx/orvfx.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

extern "C" int orvfx_c_header_ok(void);

TEST(OrvfxCInterface, HeaderCompilesAsC) { EXPECT_EQ(orvfx_c_header_ok(), 1); }

TEST(OrvfxCInterface, CreateSizesAndTheLastError) {
    EXPECT_EQ(orvfx_create(22050, 1, 2, 1), nullptr);
    EXPECT_EQ(orvfx_last_error(), ORVFX_ERROR_INVALID_PARAMETER);
    orvfx_processor_t* p = orvfx_create(48000, 2, ORVFX_INPUT_F32, ORVFX_PROCESS_F64);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(orvfx_last_error(), ORVFX_SUCCESS);
    EXPECT_EQ(orvfx_block_size(p), 960);
    EXPECT_EQ(orvfx_token_bytes(p, 960), 64u);
    EXPECT_EQ(orvfx_token_bytes(p, 961), 128u);
    EXPECT_EQ(orvfx_token_bytes(p, 0), 0u);
    EXPECT_EQ(orvfx_last_error(), ORVFX_SUCCESS);
    // A size beyond 32 bits is refused rather than truncated.
    EXPECT_EQ(orvfx_token_bytes(p, 1ull << 40), 0u);
    EXPECT_EQ(orvfx_last_error(), ORVFX_ERROR_INVALID_PARAMETER);
    orvfx_destroy(p);
}

TEST(OrvfxCInterface, NullHandlesAndBuffers) {
    std::vector<float> samples(960);
    std::vector<std::uint8_t> tokens(32);
    EXPECT_EQ(orvfx_encode_f32(nullptr, samples.data(), tokens.data(), 960), -22);
    EXPECT_EQ(orvfx_decode_f32(nullptr, tokens.data(), 32, samples.data(), 960), -22);
    EXPECT_EQ(orvfx_block_size(nullptr), 0);
    EXPECT_EQ(orvfx_last_error(), -22);
    EXPECT_EQ(orvfx_token_bytes(nullptr, 960), 0u);
    EXPECT_EQ(orvfx_last_error(), -22);
    EXPECT_EQ(orvfx_set_preset(nullptr, 1), -22);
    orvfx_destroy(nullptr);
    EXPECT_EQ(orvfx_last_error(), 0);

    orvfx_processor_t* p = orvfx_create(48000, 1, ORVFX_INPUT_F32, ORVFX_PROCESS_F64);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(orvfx_encode_f32(p, nullptr, tokens.data(), 960), -22);
    EXPECT_EQ(orvfx_encode_f32(p, samples.data(), nullptr, 960), -22);
    EXPECT_EQ(orvfx_decode_f32(p, nullptr, 32, samples.data(), 960), -22);
    EXPECT_EQ(orvfx_decode_f32(p, tokens.data(), 32, nullptr, 960), -22);
    EXPECT_EQ(orvfx_encode_f32(p, nullptr, nullptr, 0), 0);
    EXPECT_EQ(orvfx_decode_f32(p, nullptr, 0, nullptr, 0), 0);
    // Too few token bytes is silence, not an error.
    std::vector<float> out(960, 1.0f);
    EXPECT_EQ(orvfx_decode_f32(p, tokens.data(), 31, out.data(), 960), 0);
    EXPECT_EQ(out, std::vector<float>(960, 0.0f));
    orvfx_destroy(p);
}

TEST(OrvfxCInterface, FloatCallsNeedAFloatProcessor) {
    orvfx_processor_t* p = orvfx_create(16000, 1, ORVFX_INPUT_S16, ORVFX_PROCESS_F32);
    ASSERT_NE(p, nullptr);
    std::vector<float> samples(320);
    std::vector<std::uint8_t> tokens(16);
    EXPECT_EQ(orvfx_encode_f32(p, samples.data(), tokens.data(), 320), -22);
    EXPECT_EQ(orvfx_decode_f32(p, tokens.data(), 16, samples.data(), 320), -22);
    EXPECT_EQ(orvfx_last_error(), -22);
    orvfx_destroy(p);
}

TEST(OrvfxCInterface, PresetsAndTheirNames) {
    orvfx_processor_t* p = orvfx_create(8000, 1, ORVFX_INPUT_F32, ORVFX_PROCESS_F32);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(orvfx_set_preset(p, 3), 0);
    EXPECT_EQ(orvfx_set_preset(p, 4), -22);
    EXPECT_EQ(orvfx_last_error(), -22);
    EXPECT_EQ(orvfx_preset_name(0xFFFFFFFFu), std::string("Invalid"));
    EXPECT_EQ(orvfx_last_error(), -22);  // names leave the last error alone
    const char* names[] = {"Default", "Sharp", "Crunchy", "Smooth", "Invalid"};
    for (std::uint32_t k = 0; k < 5; ++k) EXPECT_STREQ(orvfx_preset_name(k), names[k]);
    orvfx_destroy(p);
}

TEST(OrvfxCInterface, EncodeAtOneRateDecodesAtAnother) {
    // The loopback's pipeline: capture at 48 kHz, haptics at 2 kHz.
    orvfx_processor_t* capture = orvfx_create(48000, 1, ORVFX_INPUT_F32, ORVFX_PROCESS_F64);
    orvfx_processor_t* haptic = orvfx_create(2000, 1, ORVFX_INPUT_F32, ORVFX_PROCESS_F64);
    ASSERT_NE(capture, nullptr);
    ASSERT_NE(haptic, nullptr);
    std::vector<float> in(4 * 960, 0.0f);
    for (std::size_t i = 960; i < in.size(); ++i) in[i] = (i / 40) % 2 ? 0.8f : -0.8f;  // a loud 600 Hz square
    std::vector<std::uint8_t> tokens(orvfx_token_bytes(capture, in.size()));
    ASSERT_EQ(orvfx_encode_f32(capture, in.data(), tokens.data(), in.size()), 0);
    std::vector<float> out(4 * 40, 1.0f);
    ASSERT_EQ(orvfx_decode_f32(haptic, tokens.data(), tokens.size(), out.data(), out.size()), 0);
    for (std::size_t i = 0; i < 40; ++i) EXPECT_EQ(out[i], 0.0f) << i;  // silence first
    float peak = 0;
    for (std::size_t i = 40; i < out.size(); ++i) peak = std::max(peak, std::abs(out[i]));
    EXPECT_GT(peak, 0.3f);
    orvfx_destroy(capture);
    orvfx_destroy(haptic);
}
