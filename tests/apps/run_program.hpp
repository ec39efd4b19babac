// Runs a program through the shell and collects its exit status, standard output and error, or
// talks to it line by line through pipes.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
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

// A program running with pipes on its standard input and output, for a conversation line by line.
class Piped {
public:
    explicit Piped(const std::string& command) {
        ::signal(SIGPIPE, SIG_IGN);  // a program that died shows as a failed write, not a dead test
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) throw std::runtime_error("pipe failed");
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
            ::execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        to_ = in[1];
        from_ = out[0];
    }
    Piped(const Piped&) = delete;
    Piped& operator=(const Piped&) = delete;
    ~Piped() {
        close_input();
        if (from_ >= 0) ::close(from_);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    bool write(const std::string& text) {
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t n = ::write(to_, text.data() + done, text.size() - done);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    // The next output line without its newline; nothing when none is complete within `timeout`
    // or the output ends first.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (const auto eol = buffer_.find('\n'); eol != std::string::npos) {
                std::string line = buffer_.substr(0, eol);
                buffer_.erase(0, eol + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{from_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
            char chunk[4096];
            const ssize_t n = ::read(from_, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }
    void close_input() {
        if (to_ >= 0) ::close(to_);
        to_ = -1;
    }
    // Closes the input and returns the exit status.
    int wait() {
        close_input();
        int raw = 0;
        ::waitpid(pid_, &raw, 0);
        pid_ = -1;
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }

private:
    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
    std::string buffer_;
};

}  // namespace kv_test
