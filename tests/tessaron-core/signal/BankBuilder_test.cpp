#include "tessaron-core/bankgen/BankBuilder.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

using tsr::bank::RowSpec;
using tsr::bankgen::Quantiser;

namespace {

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

TEST(BankQuantiser, StoredValueGoesThroughEightDigitText) {
    // -32730 / 32767 = -0.998870815... is written "-0.99887082", whose nearest
    // f32 is not the plain cast of the quotient.
    EXPECT_EQ(tsr::bankgen::eightDigitValue(-32730), -0.99887082f);
    EXPECT_NE(tsr::bankgen::eightDigitValue(-32730), static_cast<float>(-32730 / 32767.0));
    EXPECT_EQ(tsr::bankgen::eightDigitValue(32730), 0.99887082f);
    EXPECT_EQ(tsr::bankgen::eightDigitValue(0), 0.0f);
    EXPECT_EQ(tsr::bankgen::eightDigitValue(1), 3.0518509e-05f);

    const Quantiser q;
    for (int k = -32734; k <= 32734; ++k) {
        ASSERT_EQ(q.value(k), tsr::bankgen::eightDigitValue(k)) << k;
    }
}

TEST(BankQuantiser, CodesRoundAndSaturate) {
    EXPECT_EQ(Quantiser::codeOf(0.0), 0);
    EXPECT_EQ(Quantiser::codeOf(0.5 / 32767.0), 1);  // halves away from zero
    EXPECT_EQ(Quantiser::codeOf(-0.5 / 32767.0), -1);
    EXPECT_EQ(Quantiser::codeOf(100.0 / 32767.0), 100);
    EXPECT_EQ(Quantiser::codeOf(1.0), 32734);
    EXPECT_EQ(Quantiser::codeOf(-1.0), -32734);
    EXPECT_EQ(Quantiser::codeOf(1e300), 32734);
    EXPECT_EQ(Quantiser::codeOf(std::numeric_limits<double>::infinity()), 32734);
    EXPECT_EQ(Quantiser::codeOf(-std::numeric_limits<double>::infinity()), -32734);
    EXPECT_EQ(Quantiser::codeOf(std::nan("")), 0);
}

TEST(BankSynthesis, RowsAreDeterministicExactLengthAndDistinct) {
    const Quantiser q;
    const RowSpec a{"Cat/a.csv", 5000, 100.0f, 200.0f};
    const RowSpec b{"Cat/b.csv", 5000, 100.0f, 200.0f};
    const std::vector<float> first = tsr::bankgen::synthesiseRow(a, q);
    const std::vector<float> second = tsr::bankgen::synthesiseRow(a, q);
    ASSERT_EQ(first.size(), 5000u);
    EXPECT_EQ(first, second);
    // Seeded by the name: rows of equal shape still differ.
    EXPECT_NE(first, tsr::bankgen::synthesiseRow(b, q));
    // Fades start and end the row near silence.
    EXPECT_EQ(first.front(), 0.0f);
    EXPECT_LT(std::fabs(first.back()), 0.01f);

    // The shortest shapes still come out exact.
    for (uint64_t n : {0ull, 1ull, 2ull, 3ull, 106ull}) {
        EXPECT_EQ(tsr::bankgen::synthesiseRow({"Cat/s.csv", n, 0.0f, 301.0f}, q).size(), n);
    }
}

TEST(BankBuild, TwoRunsWriteTheSameBytes) {
    const RowSpec rows[] = {{"A/x.csv", 300, 0.0f, 46.0f}, {"A/y.csv", 1000, 169.0f, 171.0f}};
    vbz_test::TempDir dir;
    std::vector<float> one, two;
    std::string error;
    ASSERT_TRUE(tsr::bankgen::buildBank(rows, "", one, error)) << error;
    ASSERT_TRUE(tsr::bankgen::buildBank(rows, "", two, error)) << error;
    ASSERT_EQ(one.size(), 1300u);
    ASSERT_TRUE(tsr::bankgen::writeBank((dir.path() / "one.bin").string(), one, error)) << error;
    ASSERT_TRUE(tsr::bankgen::writeBank((dir.path() / "two.bin").string(), two, error)) << error;
    const std::string bytes = readAll(dir.path() / "one.bin");
    EXPECT_EQ(bytes.size(), 1300u * 4u);
    EXPECT_EQ(bytes, readAll(dir.path() / "two.bin"));
    EXPECT_EQ(std::memcmp(bytes.data(), one.data(), bytes.size()), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "one.bin.tmp"));
}

TEST(BankBuild, WriteIntoMissingFolderFails) {
    vbz_test::TempDir dir;
    std::string error;
    EXPECT_FALSE(tsr::bankgen::writeBank((dir.path() / "no" / "bank.bin").string(), {1.0f}, error));
    EXPECT_FALSE(error.empty());
}

// The recorded-asset path on a small fixture folder: rows read from
// <dir>/<name>, values separated by commas or spaces, CRLF lines and blank
// lines accepted, each value quantised like the stand-ins.
TEST(BankBuild, ConvertsAFolderOfCsvAssets) {
    const RowSpec rows[] = {{"Cat/a.csv", 5, 10.0f, 20.0f}, {"Cat/Sub/b-(loop).csv", 3, 10.0f, 20.0f}};
    std::vector<float> out;
    std::string error;
    ASSERT_TRUE(tsr::bankgen::buildBank(rows, VBZ_BANK_FIXTURES, out, error)) << error;
    const Quantiser q;
    const std::vector<float> expected{q.value(16384), q.value(-8192), q.value(32734), q.value(-32734), 0.0f,
                                      -0.99887082f, q.value(0), q.value(1)};
    EXPECT_EQ(out, expected);
}

TEST(BankBuild, RefusesBrokenAssetsWithTheirLine) {
    vbz_test::TempDir dir;
    const Quantiser q;
    std::vector<float> out;
    std::string error;
    const auto path = [&](const char* name) { return (dir.path() / name).string(); };

    writeFile(dir.path() / "text.csv", "0.1\n0.2, abc\n");
    EXPECT_FALSE(tsr::bankgen::readCsvAsset(path("text.csv"), 3, q, out, error));
    EXPECT_NE(error.find("text.csv:2"), std::string::npos) << error;

    writeFile(dir.path() / "range.csv", "0.1\n1.5\n");
    EXPECT_FALSE(tsr::bankgen::readCsvAsset(path("range.csv"), 2, q, out, error));
    EXPECT_NE(error.find("range.csv:2"), std::string::npos) << error;

    writeFile(dir.path() / "nan.csv", "nan\n");
    EXPECT_FALSE(tsr::bankgen::readCsvAsset(path("nan.csv"), 1, q, out, error));

    writeFile(dir.path() / "short.csv", "0.1\n0.2\n");
    EXPECT_FALSE(tsr::bankgen::readCsvAsset(path("short.csv"), 3, q, out, error));
    EXPECT_NE(error.find("expected 3"), std::string::npos) << error;
    EXPECT_FALSE(tsr::bankgen::readCsvAsset(path("short.csv"), 1, q, out, error));

    writeFile(dir.path() / "empty.csv", "");
    EXPECT_FALSE(tsr::bankgen::readCsvAsset(path("empty.csv"), 1, q, out, error));
    EXPECT_TRUE(tsr::bankgen::readCsvAsset(path("empty.csv"), 0, q, out, error));

    EXPECT_FALSE(tsr::bankgen::readCsvAsset(path("missing.csv"), 1, q, out, error));
    EXPECT_NE(error.find("missing.csv"), std::string::npos);

    const RowSpec rows[] = {{"Cat/a.csv", 5, 10.0f, 20.0f}, {"Cat/absent.csv", 1, 10.0f, 20.0f}};
    EXPECT_FALSE(tsr::bankgen::buildBank(rows, VBZ_BANK_FIXTURES, out, error));
    EXPECT_NE(error.find("Cat/absent.csv"), std::string::npos) << error;
}
