#include "tessaron-core/src/pattern/PatternLoader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tessaron-core/src/tsr/tsr_log.h"

using nlohmann::json;
using tsr::loadPatternFromJson;
using tsr::PatternEntry;

namespace {

struct Logged {
    int level;
    std::string where;
    std::string message;
};
std::vector<Logged> logged;

void capture(int level, const char* where, const char* message) {
    logged.push_back({level, where, message});
}

class PatternLoader : public ::testing::Test {
protected:
    void SetUp() override {
        logged.clear();
        tsr_set_log_level(2);
        tsr_set_log_callback(&capture);
    }
    void TearDown() override {
        tsr_set_log_callback(nullptr);
        tsr_set_log_level(2);
    }

    static std::vector<std::string> messages() {
        std::vector<std::string> out;
        for (const Logged& l : logged) out.push_back(l.message);
        return out;
    }
};

json weightsKey(double t) { return {{"timestamp", t}, {"weights", {1.0, 0.5, 0.0}}}; }

json vicinity() {
    return {{"position", {0.0, 1.2, -0.3}},
            {"orientation", {1.0, 0.0, 0.0, 0.0}},
            {"scale", {0.1, 0.1, 0.1}},
            {"amplitude", 1.0}};
}

json vicinitiesKey(double t) { return {{"timestamp", t}, {"vicinities", {vicinity()}}}; }

json sample(double t, double maxDuration = 1.0) {
    return {{"maxDuration", maxDuration},
            {"postDelay", 0},
            {"preDelay", 0.0},
            {"repeatCount", 1},
            {"repeatSpat", false},
            {"signalIndex", 3},
            {"spatKeyframes", {weightsKey(0.0)}},
            {"speed", 1.0},
            {"startCrop", 0.0},
            {"stopCrop", 0},
            {"timestamp", t},
            {"volumeKeyframes", {{{"timestamp", 0.0}, {"volume", 100}}}}};
}

json track(std::vector<json> samples) {
    return {{"volume", 100}, {"samples", json(std::move(samples))}};
}

json pattern(std::vector<json> tracks) {
    return {{"duration", 2.0}, {"tracks", json(std::move(tracks))}};
}

json basic() { return pattern({track({sample(0.0), sample(1.0)})}); }

PatternEntry load(const json& doc) { return loadPatternFromJson(doc.dump().c_str()); }

std::string typeMsg(const std::string& key, const std::string& word) {
    return "Invalid field type: '" + key + "' is expected to be of type '" + word + "'.";
}
std::string missingMsg(const std::string& key) {
    return "Missing field: '" + key + "' is required.";
}

json& firstSample(json& doc) { return doc["tracks"][0]["samples"][0]; }

}  // namespace

TEST_F(PatternLoader, ValidPatternLoadsWithBoostAndInsertedDefault) {
    PatternEntry e = load(basic());
    EXPECT_TRUE(e.ok);
    EXPECT_TRUE(e.isValid());
    EXPECT_TRUE(logged.empty());
    EXPECT_EQ(e.boost, 0.0);
    ASSERT_TRUE(e.root.contains("patternBoost"));
    EXPECT_TRUE(e.root["patternBoost"].is_number_integer());
    EXPECT_EQ(e.root["patternBoost"].get<int>(), 0);
    EXPECT_EQ(e.maxSimultaneousSamples, 1u);

    json doc = basic();
    doc["patternBoost"] = 50;
    EXPECT_DOUBLE_EQ(load(doc).boost, 0.5);
    doc["patternBoost"] = -100;
    PatternEntry negative = load(doc);
    EXPECT_TRUE(negative.ok);
    EXPECT_DOUBLE_EQ(negative.boost, -1.0);
    doc["patternBoost"] = 12.5;
    EXPECT_DOUBLE_EQ(load(doc).boost, 0.125);

    // Unknown keys anywhere are ignored; an entry moves into a table intact.
    doc["author"] = "someone";
    doc["tracks"][0]["name"] = {1, 2};
    firstSample(doc)["extra"] = nullptr;
    std::map<int, PatternEntry> table;
    table.emplace(7, load(doc));
    EXPECT_TRUE(table.at(7).ok);
    EXPECT_EQ(table.at(7).root["author"], "someone");
    EXPECT_TRUE(logged.empty());
}

TEST_F(PatternLoader, UnparsableTextIsRefusedWithTheWholeText) {
    const std::vector<std::string> texts = {
        "{",
        R"({"duration": 1, /* note */ "tracks": []})",
        R"({"duration": 1, "tracks": []} // trailing comment)",
        R"({"duration": 1, "tracks": []} x)",
        "",
        "{\"duration\": 1e999, \"tracks\": []}",
    };
    for (const std::string& text : texts) {
        logged.clear();
        PatternEntry e = loadPatternFromJson(text.c_str());
        EXPECT_FALSE(e.ok) << text;
        EXPECT_TRUE(e.root.is_discarded()) << text;
        EXPECT_EQ(e.boost, 0.0);
        EXPECT_EQ(e.maxSimultaneousSamples, 0u);
        ASSERT_EQ(logged.size(), 1u) << text;
        EXPECT_EQ(logged[0].level, 4);
        EXPECT_EQ(logged[0].where.rfind("pattern:", 0), 0u) << logged[0].where;
        EXPECT_EQ(logged[0].message, "Invalid json format: " + text);
    }
    // The text ends at its first zero byte.
    const char withZero[] = "{\"duration\": 1, \"tracks\": []}\0garbage";
    logged.clear();
    EXPECT_FALSE(loadPatternFromJson(withZero).ok);
    EXPECT_TRUE(logged.empty());  // parsed; refused for its empty tracks, silently

    logged.clear();
    EXPECT_FALSE(loadPatternFromJson(nullptr).ok);
    EXPECT_EQ(logged.size(), 1u);
}

// Every rule of the format with the exact messages it gives (empty: refused
// without any message).
TEST_F(PatternLoader, EachRuleRefusesWithItsMessage) {
    struct Case {
        const char* name;
        std::function<void(json&)> mutate;
        std::vector<std::string> expected;
    };
    const std::string nonMonotonicSpat =
        "Invalid spatialization key's timestamp in 'spatKeyframes': the timestamp '0.500000' "
        "should be strictly higher than the previous one '0.500000'";
    const std::vector<Case> cases = {
        {"root not an object", [](json& d) { d = json::array(); }, {missingMsg("duration")}},
        {"duration missing", [](json& d) { d.erase("duration"); }, {missingMsg("duration")}},
        {"duration negative", [](json& d) { d["duration"] = -1; },
         {typeMsg("duration", "positive float")}},
        {"duration string", [](json& d) { d["duration"] = "1"; },
         {typeMsg("duration", "positive float")}},
        {"tracks object", [](json& d) { d["tracks"] = json::object(); },
         {typeMsg("tracks", "array")}},
        {"tracks empty", [](json& d) { d["tracks"] = json::array(); }, {}},
        {"patternBoost string, checking goes on",
         [](json& d) {
             d["patternBoost"] = "high";
             d.erase("duration");
         },
         {typeMsg("patternBoost", "integer"), missingMsg("duration")}},
        {"patternBoost null", [](json& d) { d["patternBoost"] = nullptr; },
         {typeMsg("patternBoost", "integer")}},
        {"track not an object stops everything",
         [](json& d) {
             d["tracks"] = {5, track({sample(0.0)})};
             d["tracks"][1]["samples"][0].erase("speed");
         },
         {missingMsg("volume")}},
        {"track volume negative", [](json& d) { d["tracks"][0]["volume"] = -5; },
         {typeMsg("volume", "positive float")}},
        {"track samples object", [](json& d) { d["tracks"][0]["samples"] = json::object(); },
         {typeMsg("samples", "array")}},
        {"empty samples stop only their track",
         [](json& d) {
             d["tracks"][0]["samples"] = json::array();
             d["tracks"].push_back(track({sample(0.0)}));
             d["tracks"][1]["samples"][0]["speed"] = -1;
         },
         {typeMsg("speed", "positive float")}},
        {"sample not an object", [](json& d) { d["tracks"][0]["samples"][0] = 3; },
         {missingMsg("maxDuration")}},
        {"first missing key in field order is reported",
         [](json& d) {
             firstSample(d).erase("volumeKeyframes");
             firstSample(d).erase("repeatSpat");
         },
         {missingMsg("repeatSpat")}},
        {"repeatCount -1", [](json& d) { firstSample(d)["repeatCount"] = -1; },
         {typeMsg("repeatCount", "unsigned integer")}},
        {"repeatCount 1.5", [](json& d) { firstSample(d)["repeatCount"] = 1.5; },
         {typeMsg("repeatCount", "unsigned integer")}},
        {"signalIndex string", [](json& d) { firstSample(d)["signalIndex"] = "3"; },
         {typeMsg("signalIndex", "unsigned integer")}},
        {"repeatSpat number", [](json& d) { firstSample(d)["repeatSpat"] = 1; },
         {typeMsg("repeatSpat", "boolean")}},
        {"speed -1", [](json& d) { firstSample(d)["speed"] = -1; },
         {typeMsg("speed", "positive float")}},
        {"stopCrop bool", [](json& d) { firstSample(d)["stopCrop"] = true; },
         {typeMsg("stopCrop", "positive float")}},
        {"volumeKeyframes object", [](json& d) { firstSample(d)["volumeKeyframes"] = json::object(); },
         {typeMsg("volumeKeyframes", "array")}},
        {"sample overlapping the previous one",
         [](json& d) { firstSample(d)["maxDuration"] = 1.5; },
         {"Invalid sample timestamp: the start '1.000000' of the sample is expected to be higher "
          "than the end '1.500000' of the previous sample."}},
        {"a sample failure stops its track but not the next",
         [](json& d) {
             d["tracks"][0]["samples"][1]["speed"] = -2;
             d["tracks"][0]["samples"].push_back(sample(5.0));
             d["tracks"][0]["samples"][2].erase("preDelay");
             d["tracks"].push_back(track({sample(0.0)}));
             d["tracks"][1]["samples"][0].erase("postDelay");
         },
         {typeMsg("speed", "positive float"), missingMsg("postDelay")}},
        {"spatKeyframes empty", [](json& d) { firstSample(d)["spatKeyframes"] = json::array(); },
         {"Invalid field array: 'spatKeyframes' is empty."}},
        {"spat keyframe without timestamp",
         [](json& d) { firstSample(d)["spatKeyframes"][0].erase("timestamp"); },
         {missingMsg("timestamp")}},
        {"spat keyframes at one timestamp",
         [](json& d) { firstSample(d)["spatKeyframes"] = {weightsKey(0.5), weightsKey(0.5)}; },
         {nonMonotonicSpat}},
        {"spat keyframe of neither kind",
         [](json& d) { firstSample(d)["spatKeyframes"] = {{{"timestamp", 0}}}; },
         {"Invalid field array: 'spatKeyframes' has an invalid item without any 'weights' or "
          "'vicinities' field."}},
        {"weights not an array is neither kind",
         [](json& d) { firstSample(d)["spatKeyframes"][0]["weights"] = 1; },
         {"Invalid field array: 'spatKeyframes' has an invalid item without any 'weights' or "
          "'vicinities' field."}},
        {"negative weight", [](json& d) { firstSample(d)["spatKeyframes"][0]["weights"][1] = -0.1; },
         {}},
        {"weight not a number",
         [](json& d) { firstSample(d)["spatKeyframes"][0]["weights"][0] = "1"; }, {}},
        {"kinds mixed: one message after the last keyframe",
         [](json& d) {
             firstSample(d)["spatKeyframes"] = {weightsKey(0.0), vicinitiesKey(0.1),
                                                weightsKey(0.2), vicinitiesKey(0.3)};
         },
         {"Invalid field array: 'spatKeyframes' should not mix items with 'weights' and "
          "'vicinities' fields."}},
        {"vicinities empty",
         [](json& d) {
             firstSample(d)["spatKeyframes"] = {
                 {{"timestamp", 0}, {"vicinities", json::array()}}};
         },
         {"Invalid field array: 'vicinities' is empty."}},
        {"vicinity without amplitude",
         [](json& d) {
             firstSample(d)["spatKeyframes"] = {vicinitiesKey(0.0)};
             firstSample(d)["spatKeyframes"][0]["vicinities"][0].erase("amplitude");
         },
         {missingMsg("amplitude")}},
        {"vicinity orientation not an array",
         [](json& d) {
             firstSample(d)["spatKeyframes"] = {vicinitiesKey(0.0)};
             firstSample(d)["spatKeyframes"][0]["vicinities"][0]["orientation"] = 1;
         },
         {typeMsg("orientation", "array")}},
        {"orientation item above 1",
         [](json& d) {
             firstSample(d)["spatKeyframes"] = {vicinitiesKey(0.0)};
             firstSample(d)["spatKeyframes"][0]["vicinities"][0]["orientation"][2] = 1.5;
         },
         {}},
        {"position of two numbers",
         [](json& d) {
             firstSample(d)["spatKeyframes"] = {vicinitiesKey(0.0)};
             firstSample(d)["spatKeyframes"][0]["vicinities"][0]["position"] = {1, 2};
         },
         {}},
        {"scale item not a number",
         [](json& d) {
             firstSample(d)["spatKeyframes"] = {vicinitiesKey(0.0)};
             firstSample(d)["spatKeyframes"][0]["vicinities"][0]["scale"][1] = nullptr;
         },
         {}},
        {"bad vicinity does not hide a later keyframe problem",
         [](json& d) {
             firstSample(d)["spatKeyframes"] = {vicinitiesKey(0.5), vicinitiesKey(0.5)};
             firstSample(d)["spatKeyframes"][0]["vicinities"][0]["amplitude"] = -1;
         },
         {typeMsg("amplitude", "positive float"), nonMonotonicSpat}},
        {"volume key without volume",
         [](json& d) { firstSample(d)["volumeKeyframes"][0].erase("volume"); },
         {missingMsg("volume")}},
        {"volume keys at one timestamp",
         [](json& d) {
             firstSample(d)["volumeKeyframes"] = {{{"timestamp", 0.25}, {"volume", 1}},
                                                  {{"timestamp", 0.25}, {"volume", 2}}};
         },
         {"Invalid volume key's timestamp in 'volumeKeyframes': the timestamp '0.250000' should "
          "be strictly higher than the previous one '0.250000'"}},
        {"keyframe failures do not stop the next sample",
         [](json& d) {
             firstSample(d)["spatKeyframes"] = json::array();
             d["tracks"][0]["samples"][1]["volumeKeyframes"][0]["volume"] = -3;
         },
         {"Invalid field array: 'spatKeyframes' is empty.", typeMsg("volume", "positive float")}},
    };
    for (const Case& c : cases) {
        logged.clear();
        json doc = basic();
        c.mutate(doc);
        PatternEntry e = load(doc);
        EXPECT_FALSE(e.ok) << c.name;
        EXPECT_EQ(e.boost, 0.0) << c.name;
        EXPECT_EQ(e.maxSimultaneousSamples, 0u) << c.name;
        EXPECT_EQ(messages(), c.expected) << c.name;
        for (const Logged& l : logged) {
            EXPECT_EQ(l.level, 4) << c.name;
            EXPECT_EQ(l.where.rfind("pattern:", 0), 0u) << c.name;
        }
    }
}

TEST_F(PatternLoader, EverySampleKeyIsRequiredWithItsType) {
    const std::vector<std::pair<std::string, std::string>> keys = {
        {"maxDuration", "positive float"}, {"postDelay", "positive float"},
        {"preDelay", "positive float"},    {"repeatCount", "unsigned integer"},
        {"repeatSpat", "boolean"},         {"signalIndex", "unsigned integer"},
        {"spatKeyframes", "array"},        {"speed", "positive float"},
        {"startCrop", "positive float"},   {"stopCrop", "positive float"},
        {"timestamp", "positive float"},   {"volumeKeyframes", "array"},
    };
    for (const auto& [key, word] : keys) {
        logged.clear();
        json doc = basic();
        firstSample(doc).erase(key);
        EXPECT_FALSE(load(doc).ok) << key;
        EXPECT_EQ(messages(), std::vector<std::string>{missingMsg(key)}) << key;

        logged.clear();
        doc = basic();
        firstSample(doc)[key] = "text";
        EXPECT_FALSE(load(doc).ok) << key;
        EXPECT_EQ(messages(), std::vector<std::string>{typeMsg(key, word)}) << key;
    }
}

TEST_F(PatternLoader, BoundaryValuesThatPass) {
    json doc = basic();
    // Touching samples, integer zeros, empty volume keys and weights arrays.
    firstSample(doc)["maxDuration"] = 1;
    firstSample(doc)["volumeKeyframes"] = json::array();
    firstSample(doc)["spatKeyframes"] = {{{"timestamp", 0}, {"weights", json::array()}}};
    doc["tracks"][0]["samples"][1]["spatKeyframes"] = {vicinitiesKey(0.0), vicinitiesKey(0.5)};
    doc["tracks"][0]["samples"][1]["spatKeyframes"][1]["vicinities"][0]["orientation"] = {
        -1, 1, 0, 0.5};
    doc["duration"] = 0;
    EXPECT_TRUE(load(doc).ok);
    EXPECT_TRUE(logged.empty()) << logged.front().message;

    // Timestamps that differ as doubles but not in single precision collide.
    doc = basic();
    firstSample(doc)["volumeKeyframes"] = {{{"timestamp", 1.0}, {"volume", 1}},
                                           {{"timestamp", 1.00000001}, {"volume", 1}}};
    EXPECT_FALSE(load(doc).ok);
    ASSERT_EQ(logged.size(), 1u);

    // Values beyond the single-precision range are compared as infinities.
    logged.clear();
    doc = basic();
    firstSample(doc)["timestamp"] = 1e300;
    firstSample(doc)["maxDuration"] = 1e300;
    doc["tracks"][0]["samples"][1]["timestamp"] = 1e301;
    EXPECT_TRUE(load(doc).ok);
    EXPECT_TRUE(logged.empty());
}

TEST_F(PatternLoader, MaxSimultaneousSamples) {
    auto count = [](const json& doc) {
        PatternEntry e = load(doc);
        EXPECT_TRUE(e.ok);
        return e.maxSimultaneousSamples;
    };
    // One track playing one sample after another.
    EXPECT_EQ(count(pattern({track({sample(0), sample(1), sample(2)})})), 1u);
    // Two tracks starting together.
    EXPECT_EQ(count(pattern({track({sample(0)}), track({sample(0)})})), 2u);
    // A sample without cut-off plays to the end, so the later one overlaps it.
    EXPECT_EQ(count(pattern({track({sample(0, 0.0), sample(5)})})), 2u);
    // Ends come before starts at equal times.
    EXPECT_EQ(count(pattern({track({sample(0, 2)}), track({sample(2, 1)})})), 1u);
    // Staggered tracks.
    EXPECT_EQ(count(pattern({track({sample(0, 2)}), track({sample(1, 2), sample(3, 1)}),
                             track({sample(3.5, 1)})})),
              2u);
    EXPECT_EQ(count(pattern({track({sample(0, 4)}), track({sample(1, 2), sample(3, 1)}),
                             track({sample(1.5, 1)})})),
              3u);
}

TEST_F(PatternLoader, MaxSimultaneousSamplesOfManyTracksMatchesADirectCount) {
    // Times on a coarse grid, so that starts and ends of different tracks
    // often coincide (ties decide the merge's order).
    std::mt19937 random(7);
    for (int round = 0; round < 40; ++round) {
        std::vector<json> tracks;
        std::vector<std::pair<double, double>> spans;
        const int trackCount = 1 + static_cast<int>(random() % 60);
        for (int t = 0; t < trackCount; ++t) {
            std::vector<json> samples;
            double at = 0.5 * static_cast<double>(random() % 4);
            for (int k = 0, n = 1 + static_cast<int>(random() % 4); k < n; ++k) {
                const double d = 0.5 * static_cast<double>(1 + random() % 3);
                samples.push_back(sample(at, d));
                spans.emplace_back(at, at + d);
                at += d + 0.5 * static_cast<double>(random() % 3);
            }
            tracks.push_back(track(samples));
        }
        uint64_t direct = 0;  // samples sounding at each start, ends excluded
        for (const auto& [start, end] : spans) {
            (void)end;
            const auto n = std::count_if(spans.begin(), spans.end(),
                                         [&](const auto& o) { return o.first <= start && start < o.second; });
            direct = std::max(direct, static_cast<uint64_t>(n));
        }
        EXPECT_EQ(load(pattern(tracks)).maxSimultaneousSamples, direct) << round;
    }
}

TEST_F(PatternLoader, LargePatternLoads) {
    std::vector<json> tracks;
    for (int t = 0; t < 20; ++t) {
        std::vector<json> samples;
        for (int s = 0; s < 250; ++s) {
            json smp = sample(s * 0.5, 0.5);
            smp["spatKeyframes"] = {vicinitiesKey(0.0), vicinitiesKey(0.25)};
            samples.push_back(smp);
        }
        tracks.push_back(track(samples));
    }
    PatternEntry e = load(pattern(tracks));
    EXPECT_TRUE(e.ok);
    EXPECT_TRUE(logged.empty());
    EXPECT_EQ(e.maxSimultaneousSamples, 20u);
    EXPECT_EQ(e.root["tracks"].size(), 20u);
}

TEST_F(PatternLoader, TruncatedMutatedAndDeepTextsNeverCrash) {
    json doc = basic();
    doc["patternBoost"] = 20;
    doc["tracks"][0]["samples"][1]["spatKeyframes"] = {vicinitiesKey(0.0)};
    const std::string text = doc.dump();

    for (std::size_t n = 0; n < text.size(); ++n) {
        const std::string cut = text.substr(0, n);
        EXPECT_FALSE(loadPatternFromJson(cut.c_str()).ok) << cut;
    }
    EXPECT_TRUE(loadPatternFromJson(text.c_str()).ok);

    std::mt19937 rng(1234);
    const std::string alphabet = "{}[]\",:-+.eE0123456789 truefalsnul\\/x";
    int valid = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string mutated = text;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int k = 0; k < edits; ++k) {
            const std::size_t at = rng() % mutated.size();
            const char c = alphabet[rng() % alphabet.size()];
            switch (rng() % 3) {
                case 0: mutated[at] = c; break;
                case 1: mutated = mutated.substr(0, at) + mutated.substr(std::min(mutated.size(), at + 1 + rng() % 8)); break;
                default: mutated = mutated.substr(0, at) + std::string(1, c) + mutated.substr(at); break;
            }
            if (mutated.empty()) mutated = std::string(1, '{');
        }
        PatternEntry e = loadPatternFromJson(mutated.c_str());
        if (e.ok) {
            ++valid;
            EXPECT_GT(e.maxSimultaneousSamples, 0u);
        } else {
            EXPECT_EQ(e.maxSimultaneousSamples, 0u);
            EXPECT_EQ(e.boost, 0.0);
        }
    }
    EXPECT_LT(valid, 3000);

    // Deep nesting is refused without exhausting the stack.
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    EXPECT_FALSE(loadPatternFromJson(deep.c_str()).ok);
    std::string deepInside = R"({"duration":1,"tracks":[{"volume":1,"samples":)";
    deepInside += std::string(100000, '[') + std::string(100000, ']') + "}]}";
    EXPECT_FALSE(loadPatternFromJson(deepInside.c_str()).ok);
}

TEST_F(PatternLoader, HelpersOnTheirOwn) {
    using tsr::checkNumberArray;
    EXPECT_TRUE(checkNumberArray(json::array(), 0, 0, 1));
    EXPECT_TRUE(checkNumberArray(json{0, 1, 0.5}, 3, 0, 1));
    EXPECT_FALSE(checkNumberArray(json{0, 1}, 3, 0, 1));
    EXPECT_FALSE(checkNumberArray(json{0, 1, 2}, 3, 0, 1));
    EXPECT_FALSE(checkNumberArray(json::object(), 0, 0, 1));
    EXPECT_FALSE(checkNumberArray(json{true}, 0, 0, 1));

    EXPECT_STREQ(tsr::fieldTypeWord(7, false), "float");
    EXPECT_STREQ(tsr::fieldTypeWord(9, false), "discarded");
    EXPECT_STREQ(tsr::fieldTypeWord(42, false), "unknown type");

    // The counter tolerates a tree that never went through the checks.
    PatternEntry e;
    tsr::countMaxSimultaneousSamples(e, json{{{"samples", {1, json::object()}}}, 3});
    EXPECT_EQ(e.maxSimultaneousSamples, 2u);
    tsr::countMaxSimultaneousSamples(e, json("x"));
    EXPECT_EQ(e.maxSimultaneousSamples, 0u);

    bool result = true;
    const tsr::FieldSpec specs[] = {{"a", 5, false}};
    EXPECT_FALSE(tsr::checkFieldSpecs(json{{"a", 1u}}, specs, true, result));
    EXPECT_FALSE(result);
    EXPECT_TRUE(logged.empty());
    result = true;
    EXPECT_TRUE(tsr::checkFieldSpecs(json{{"a", -1}}, specs, false, result));
    EXPECT_TRUE(result);
}
