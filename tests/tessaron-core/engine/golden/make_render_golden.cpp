// Records the golden file of the render comparison (RenderGolden_test) from
// the render step of the build it belongs to:
//
//   cmake --build build/release --target make_render_golden
//   build/release/tests/tessaron-core/engine/make_render_golden
//       tests/tessaron-core/engine/golden/render.golden   (one command line)
//
// Run it only from a render step whose output is trusted (the recording in
// the repository comes from the plain scalar loops, before they were
// restructured for speed), and only with the synthesised signal bank (no
// VBZ_SIGNAL_ASSETS): the test skips against any other bank.
#include <cstdio>
#include <fstream>

#include "tests/tessaron-core/engine/golden/GoldenFile.h"
#include "tests/tessaron-core/engine/golden/GoldenScenarios.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <golden file>\n", argv[0]);
        return 2;
    }
    golden::GoldenData data;
    data.fingerprint = golden::bankFingerprint();
    for (const golden::Scenario& s : golden::scenarios()) {
        golden::Recording rec{s.name, {}};
        golden::runScenario(s, [&](int, const tsr::ActuatorBuffers& buffers) { rec.buffers.push_back(buffers); });
        data.recordings.push_back(std::move(rec));
    }
    const std::string bytes = golden::encode(data);
    std::ofstream out(argv[1], std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    std::printf("%zu scenarios, %zu bytes\n", data.recordings.size(), bytes.size());
    return 0;
}
