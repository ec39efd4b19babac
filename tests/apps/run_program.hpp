// Runs a program through the shell and collects its exit status, standard output and error.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "temp_dir.hpp"

namespace kv_test {

struct Run {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string read_file(const std::string& path) {
    std::stringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

// `command` is a shell command line; standard input is `input`.
inline Run run(const std::string& command, const std::string& input = "") {
    static const TempDir dir("kv-run");
    std::ofstream(dir.file("in"), std::ios::binary) << input;
    const std::string line = command + " <" + dir.file("in") + " >" + dir.file("out") + " 2>" + dir.file("err");
    const int raw = std::system(line.c_str());
    if (raw == -1 || !WIFEXITED(raw)) throw std::runtime_error("could not run: " + command);
    return Run{WEXITSTATUS(raw), read_file(dir.file("out")), read_file(dir.file("err"))};
}

}  // namespace kv_test
