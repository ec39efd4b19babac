// Runs a program through the shell and collects its exit status, standard output and error.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>

namespace kv_test {

struct Run {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::filesystem::path temp_dir(const std::string& name) {
    std::random_device rd;
    auto dir = std::filesystem::temp_directory_path() / (name + "-" + std::to_string(rd()));
    std::filesystem::create_directories(dir);
    return dir;
}

inline std::string read_file(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// `command` is a shell command line; standard input is `input`.
inline Run run(const std::string& command, const std::string& input = "") {
    static const auto dir = temp_dir("kv-run");
    const auto in = dir / "in", out = dir / "out", err = dir / "err";
    std::ofstream(in, std::ios::binary) << input;
    const std::string line = command + " <" + in.string() + " >" + out.string() + " 2>" + err.string();
    const int raw = std::system(line.c_str());
    if (raw == -1 || !WIFEXITED(raw)) throw std::runtime_error("could not run: " + command);
    return Run{WEXITSTATUS(raw), read_file(out), read_file(err)};
}

}  // namespace kv_test
