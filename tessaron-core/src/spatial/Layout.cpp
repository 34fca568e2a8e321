#include "tessaron-core/src/spatial/Layout.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <nlohmann/json.hpp>

#include "tessaron-core/src/tsr/tsr_log.h"

namespace tsr {
namespace {
constexpr const char* kSource = "tessaron-core/src/spatial";
constexpr double kPi = std::numbers::pi;

// Actuator positions of the vest, in metres, channel order.
constexpr double kCapsulePositions[LayoutVibrenzaCapsule::kActuatorCount][3] = {
    {0.0561, -0.18, -0.0561}, {0.1039, -0.06, -0.06},  {0.1039, 0.06, -0.06},   {-0.0561, -0.18, -0.0561},
    {0, 0.06, -0.12},         {-0.0561, 0.18, -0.0561}, {-0.1039, 0.06, -0.06}, {-0.1039, -0.06, -0.06},
    {-0.1039, -0.06, 0.06},   {-0.0561, 0.18, 0.0561},  {0.1039, -0.06, 0.06},  {0, 0.06, 0.12},
    {-0.0561, -0.18, 0.0561}, {-0.1039, 0.06, 0.06},    {0.1039, 0.06, 0.06},   {0.0561, -0.18, 0.0561},
    {0.0561, 0.18, -0.0561},  {0.0561, 0.18, 0.0561},   {0, -0.06, 0.12},       {0, -0.06, -0.12},
};

bool readCoordinate(const nlohmann::json& value, double& out) {
    if (!value.is_number()) return false;
    out = value.get<double>();
    return true;
}

// Brings an angle into [-pi, pi] by whole turns. A non-finite angle has no
// place on the profile and yields NaN; a huge one is reduced in one step
// first, so the turn-by-turn loop stays short.
double wrapAngle(double g) {
    if (!std::isfinite(g)) return std::nan("");
    if (std::fabs(g) > 1024.0 * kPi) g = std::fmod(g, 2.0 * kPi);
    while (g > kPi) g += -2.0 * kPi;
    while (g < -kPi) g += 2.0 * kPi;
    return g;
}
}  // namespace

int ILayout::loadPositions(const std::string& json) {
    const nlohmann::json root = nlohmann::json::parse(json, nullptr, false);
    if (!root.is_object()) {
        tsr_log(3, kSource, __LINE__, "loadPositions: the layout text is not a JSON object");
        return kErrorInvalidLayout;
    }
    const auto it = root.find("position");
    if (it == root.end() || !it->is_array()) {
        tsr_log(3, kSource, __LINE__, "loadPositions: missing array 'position'");
        return kErrorInvalidLayout;
    }
    Matrix loaded(3, it->size());
    std::size_t i = 0;
    for (const auto& item : *it) {
        bool ok = item.is_array() && item.size() == 3;
        for (std::size_t r = 0; ok && r < 3; ++r) ok = readCoordinate(item[r], loaded(r, i));
        if (!ok) {
            tsr_log(3, kSource, __LINE__, "loadPositions: item %zu is not an array of three numbers", i);
            return kErrorInvalidLayout;
        }
        ++i;
    }
    positions_ = std::move(loaded);
    changed_ = true;
    return 0;
}

LayoutVibrenzaCapsule::LayoutVibrenzaCapsule() : ILayout(kLayoutVibrenzaCapsule) {
    positions_ = Matrix(3, kActuatorCount);
    for (int i = 0; i < kActuatorCount; ++i) {
        for (int r = 0; r < 3; ++r) positions_(r, i) = kCapsulePositions[i][r];
    }
}

int LayoutVibrenzaCapsule::loadPositions(const std::string&) {
    tsr_log(3, kSource, __LINE__, "loadPositions: the capsule layout has fixed positions");
    return kErrorInvalidOperation;
}

void LayoutVibrenzaCapsule::elevate(double dh, Point& p) const {
    constexpr double h = kHalfHeight;
    const double y0 = p[1];
    const double y1 = y0 + dh;
    const double r2 = p[2] * p[2] + p[0] * p[0];
    if (r2 == 0.0) {
        p[1] = y1;
        return;
    }
    double rho2 = r2;
    if (y0 > h) {
        rho2 = (y0 - h) * (y0 - h) + r2;
    } else if (y0 < -h) {
        rho2 = (y0 + h) * (y0 + h) + r2;
    }
    double t = rho2;
    if (y1 > h) {
        t = std::max(0.0, rho2 - (y1 - h) * (y1 - h));
    } else if (y1 < -h) {
        t = std::max(0.0, rho2 - (y1 + h) * (y1 + h));
    }
    const double k = std::sqrt(t) / std::sqrt(r2);
    p[0] *= k;
    p[2] *= k;
    p[1] = y1;
}

void LayoutVibrenzaCapsule::rotateHeading(double angle, Point& p, Quaternion& q) const {
    const double c = std::cos(angle), s = std::sin(angle);
    const double x = p[0], z = p[2];
    p[0] = x * c + z * s;
    p[2] = z * c - x * s;
    q = hamiltonProduct({0.0, std::sin(angle / 2.0), 0.0, std::cos(angle / 2.0)}, q);
}

void LayoutVibrenzaCapsule::tilt(double angle, Point& p, Quaternion& q) const {
    q = hamiltonProduct({0.0, 0.0, std::sin(angle / 2.0), std::cos(angle / 2.0)}, q);
    tiltPoint(angle, p);
}

void LayoutVibrenzaCapsule::tiltPoint(double angle, Point& p) {
    TiltMemo memo;
    tiltPoint(angle, p, memo);
}

void LayoutVibrenzaCapsule::tiltPoint(double angle, Point& p, TiltMemo& memo) {
    constexpr double h = kHalfHeight;
    double x = p[0], y = p[1];
    double rho;
    if (y > h) {
        rho = std::sqrt((y - h) * (y - h) + x * x);
    } else if (y < -h) {
        rho = std::sqrt((y + h) * (y + h) + x * x);
    } else {
        rho = std::fabs(x);
        if (x == 0.0) return;  // on the vertical axis: nowhere to move
    }
    if (!(rho == memo.rho)) {  // NaN never matches
        memo.rho = rho;
        memo.alpha = std::atan(h / rho);
    }
    const double alpha = memo.alpha;
    const double g = wrapAngle(std::atan2(y, x) + angle);

    if (g > kPi - alpha) {  // upper part of the side at negative x
        y = rho * std::tan(kPi - g);
        if (x > 0) x = -x;
    } else if (g > alpha) {  // top cap
        const double t = (g - alpha) * kPi / (kPi - 2.0 * alpha);
        x = rho * std::cos(t);
        y = rho * std::sin(t) + h;
    } else if (g > -alpha) {  // side at positive x
        y = rho * std::tan(g);
        if (x < 0) x = -x;
    } else if (g > alpha - kPi) {  // bottom cap
        const double t = (g + alpha) * kPi / (kPi - 2.0 * alpha);
        x = rho * std::cos(t);
        y = rho * std::sin(t) - h;
    } else {  // lower part of the side at negative x (and NaN angles)
        y = rho * std::tan(kPi - g);
        if (x > 0) x = -x;
    }
    p[0] = x;
    p[1] = y;
}

std::shared_ptr<ILayout> makeLayout(int kind) {
    if (kind == kLayoutBasic) return std::make_shared<LayoutBasic>();
    return std::make_shared<LayoutVibrenzaCapsule>();
}

std::shared_ptr<ILayout> makeDefaultLayout() { return makeLayout(kLayoutVibrenzaCapsule); }

}  // namespace tsr
