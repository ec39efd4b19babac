// Test helpers: a bundle written into a fresh temporary directory, and an exact-type throw check.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <typeinfo>

#include <unistd.h>

namespace kv_test {

namespace fs = std::filesystem;

// A temporary bundle directory, removed with the object. write() creates parent directories.
class TempBundle {
public:
    TempBundle() {
        static std::atomic<int> counter{0};
        dir_ = fs::temp_directory_path() /
               ("kelvane-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    ~TempBundle() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    TempBundle(const TempBundle&) = delete;
    TempBundle& operator=(const TempBundle&) = delete;

    const fs::path& dir() const { return dir_; }
    std::string file(const std::string& relative) const { return (dir_ / relative).string(); }

    void write(const std::string& relative, const std::string& text) const {
        const fs::path p = dir_ / relative;
        fs::create_directories(p.parent_path());
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out << text;
        ASSERT_TRUE(out.good()) << p;
    }
    void remove(const std::string& relative) const { fs::remove(dir_ / relative); }

private:
    fs::path dir_;
};

}  // namespace kv_test

// Expects `statement` to throw an exception of exactly `type` (not a subclass) with message `text`.
#define EXPECT_THROW_EXACT(statement, type, text)                                                  \
    do {                                                                                           \
        try {                                                                                      \
            static_cast<void>(statement);                                                          \
            ADD_FAILURE() << "no exception from: " #statement;                                     \
        } catch (const std::exception& e) {                                                        \
            EXPECT_TRUE(typeid(e) == typeid(type)) << "wrong exception type from " #statement ": " \
                                                   << typeid(e).name() << ": " << e.what();        \
            EXPECT_EQ(std::string(e.what()), std::string(text));                                   \
        }                                                                                          \
    } while (0)
