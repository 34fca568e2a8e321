// A fresh temporary directory that the test may chdir into; removed at the end.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

#include <stdlib.h>
#include <unistd.h>

namespace vbz_test {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vbz-test-XXXXXX").string();
        char* made = mkdtemp(pattern.data());
        path_ = made ? std::filesystem::path(made) : std::filesystem::path();
    }
    ~TempDir() {
        if (entered_) std::filesystem::current_path(previous_);
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    void enter() {
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(path_);
        entered_ = true;
    }

private:
    std::filesystem::path path_;
    std::filesystem::path previous_;
    bool entered_ = false;
};

}  // namespace vbz_test
