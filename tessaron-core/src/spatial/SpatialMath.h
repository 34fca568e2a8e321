// Small value types shared by the spatialisation: points, quaternions and a
// column-major matrix of doubles. Coordinates are metres, y up, x front-back,
// z right-left; quaternions are stored x, y, z, w.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace tsr {

using Point = std::array<double, 3>;
using Quaternion = std::array<double, 4>;  // x, y, z, w

constexpr Quaternion kIdentityQuaternion{0.0, 0.0, 0.0, 1.0};

// Hamilton product r (x) q: the rotation r applied after q.
Quaternion hamiltonProduct(const Quaternion& r, const Quaternion& q);

// Narrows a double to float as the hardware does (round to nearest, overflow
// to infinity), without relying on an out-of-range conversion.
float narrowToFloat(double value);

// A rows x cols matrix of doubles stored column by column. New elements are 0.
// Owned by value; columns are handed out as raw pointers for in-place work.
class Matrix {
public:
    Matrix() = default;
    Matrix(std::size_t rows, std::size_t cols) : rows_(rows), cols_(cols), data_(rows * cols, 0.0) {}

    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }

    // Keeps the stored values in storage order; elements added are 0.
    void resize(std::size_t rows, std::size_t cols) {
        data_.resize(rows * cols, 0.0);
        rows_ = rows;
        cols_ = cols;
    }

    double& operator()(std::size_t row, std::size_t col) { return data_[col * rows_ + row]; }
    double operator()(std::size_t row, std::size_t col) const { return data_[col * rows_ + row]; }

    double* column(std::size_t col) { return data_.data() + col * rows_; }
    const double* column(std::size_t col) const { return data_.data() + col * rows_; }

private:
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::vector<double> data_;
};

}  // namespace tsr
