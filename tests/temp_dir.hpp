// A fresh temporary directory for one test, removed with the object.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

namespace kv_test {

class TempDir {
public:
    explicit TempDir(const std::string& name = "kv-test")
        : dir_(std::filesystem::temp_directory_path() /
               (name + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++))) {
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& dir() const { return dir_; }
    std::string file(const std::string& relative) const { return (dir_ / relative).string(); }

    // Writes `text` to `relative`, creating its directories; a null `text` removes the file.
    void write(const std::string& relative, const char* text) const {
        const auto p = dir_ / relative;
        if (!text) {
            std::filesystem::remove(p);
            return;
        }
        std::filesystem::create_directories(p.parent_path());
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out << text;
        ASSERT_TRUE(out.good()) << p;
    }

private:
    static inline std::atomic<int> counter_{0};
    std::filesystem::path dir_;
};

}  // namespace kv_test
