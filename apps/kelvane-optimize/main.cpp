// kelvane-optimize: answers optimisation requests, one JSON object per line, over a data bundle.
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <fstream>
#include <iostream>
#include <malloc.h>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <CLI/CLI.hpp>

#include "dunlith/dunlith.hpp"
#include "kelvane/data_proxy.hpp"
#include "kelvane/data_source.hpp"
#include "kelvane/environment.hpp"
#include "kelvane_optimize/protocol.hpp"

namespace {

constexpr const char* kDescription = R"(Answers portfolio-optimisation requests over a data bundle.

Each input line is a JSON object; each output line is the answer to the line at the same
place. Blank lines are skipped. Keys: order_book_ids and date (required), method, bnds,
cons, cov_shrinkage, benchmark, risk_aversion_coefficient, window, max_iteration, tol,
quiet, id (echoed back).

Example, over the sample bundle:
  echo '{"id": 1, "order_book_ids": ["601398.XSHG", "600519.XSHG"], "date": "2014-01-03",
         "method": "min_variance", "bnds": {"*": [0, 0.8]}}' |
    kelvane-optimize --bundle ~/.kelvane/bundle
answers (weights smallest first)
  {"weights":[["600519.XSHG",0.39517303822753436],["601398.XSHG",0.6048269617724656]],"log":[],"id":1}
and a request that fails answers {"error":{"type":T,"message":M},"log":[...]} with T one of
BadRequest (not a valid request line), KVInvalidArgument, OptimizationFailed, KVUserError
(another failure of the optimiser's host) and Error (any other failure). Dates may be
"YYYY-MM-DD", "YYYY-MM-DD HH:MM:SS" or "YYYY-MM-DDTHH:MM:SS".

Exit status: 0 when every line was answered (failed requests included), 1 when a line
could not be answered or its answer not written (the reason on standard error), 2 for a
usage error or a bundle that cannot be opened.)";

// The stream the responses are written to. Standard output carries the responses alone: they go
// to a descriptor of their own, and descriptor 1 is pointed at standard error, so that a library
// that writes to standard output itself (Debian's L-BFGS-B prints a line when its line search
// meets an ascent direction) cannot put a line between two responses. Where the descriptors
// cannot be moved, standard output itself.
std::FILE* response_stream() {
    std::cout.flush();
    std::fflush(stdout);
    const int responses = ::dup(STDOUT_FILENO);
    if (responses < 0) return stdout;
    std::FILE* out = ::fdopen(responses, "w");
    if (!out) {
        ::close(responses);
        return stdout;
    }
    if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        std::fclose(out);
        return stdout;
    }
    return out;
}

// Writes and flushes `text`; false, with the reason on standard error, when it cannot (a full
// disk, a closed standard output), so that the exit status does not report a lost answer as given.
bool write_responses(std::FILE* out, const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), out) == text.size() && std::fflush(out) == 0) return true;
    std::cerr << "kelvane-optimize: cannot write the responses: " << std::strerror(errno) << '\n';
    return false;
}

// Reads the next request line of `in` (blank lines skipped); false at the end of the input.
bool next_request(std::istream& in, std::string& line) {
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") != std::string::npos) return true;
    }
    return false;
}

// Answers the request lines of `in` on `threads` workers while they are read, and prints to `out`
// each response in input order as soon as it and those before it are ready. At most four requests a
// worker are read ahead of the printed responses, so memory does not grow with the input.
// Returns false when a line could not be answered or its answer not written (the failure is on
// standard error).
bool answer_stream(std::istream& in, std::FILE* out, unsigned threads) {
    if (threads == 1) {
        for (std::string line; next_request(in, line);)
            if (!write_responses(out, kelvane_optimize::answer(line) + '\n')) return false;
        return true;
    }
    struct Slot {
        std::string request;
        std::optional<std::string> response;
    };
    const std::size_t max_in_flight = 4 * static_cast<std::size_t>(threads);
    std::mutex mutex;
    std::condition_variable work_waiting, response_ready, room;
    std::deque<Slot> slots;  // read and not yet printed, in input order
    std::size_t taken = 0;   // slots (from the front) handed to a worker
    bool end_of_input = false;
    bool failed = false;
    const auto stop = [&] {  // under the lock
        failed = true;
        work_waiting.notify_all();
        response_ready.notify_all();
        room.notify_all();
    };

    auto work = [&] {
        std::unique_lock lock(mutex);
        for (;;) {
            work_waiting.wait(lock, [&] { return taken < slots.size() || end_of_input || failed; });
            if (failed || taken == slots.size()) return;
            Slot& slot = slots[taken++];  // stays in place until its response is printed
            lock.unlock();
            std::optional<std::string> response;
            try {
                response = kelvane_optimize::answer(slot.request);
            } catch (const std::exception& e) {  // answer() answers every request; this is memory or worse
                std::cerr << "kelvane-optimize: cannot answer a request: " << e.what() << '\n';
            }
            lock.lock();
            if (!response) return stop();
            slot.response = std::move(response);
            if (&slot == &slots.front()) response_ready.notify_one();
        }
    };
    auto print = [&] {
        std::unique_lock lock(mutex);
        std::string ready;
        for (;;) {
            response_ready.wait(lock, [&] {
                return failed || (!slots.empty() && slots.front().response) || (end_of_input && slots.empty());
            });
            if (failed || slots.empty()) return;
            for (ready.clear(); !slots.empty() && slots.front().response; slots.pop_front(), --taken)
                ready.append(*slots.front().response).push_back('\n');
            room.notify_one();
            lock.unlock();
            const bool written = write_responses(out, ready);
            lock.lock();
            if (!written) return stop();
        }
    };

    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) workers.emplace_back(work);
    std::thread printer(print);
    for (std::string line; next_request(in, line);) {
        std::unique_lock lock(mutex);
        room.wait(lock, [&] { return slots.size() < max_in_flight || failed; });
        if (failed) break;
        slots.push_back({std::move(line), std::nullopt});
        work_waiting.notify_one();
    }
    {
        std::lock_guard lock(mutex);
        end_of_input = true;
        work_waiting.notify_all();
        response_ready.notify_all();
    }
    for (auto& w : workers) w.join();
    printer.join();
    return !failed;
}

}  // namespace

int main(int argc, char** argv) {
    // Keep freed memory in the process. Each request allocates and frees matrices of a few hundred
    // kilobytes; handed back to the system, they had to be faulted in again by the next request,
    // which took about half the time of a request on 300 instruments.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    CLI::App app{kDescription, "kelvane-optimize"};
    std::string bundle;
    std::string requests;
    unsigned threads = 1;
    app.add_option("--bundle", bundle, "data bundle directory")->required();
    app.add_option("--requests", requests, "JSON Lines file of requests (default: standard input)");
    app.add_option("--threads", threads, "requests answered in parallel (responses stay in input order)")
        ->check(CLI::Range(1u, 256u));
    app.set_version_flag("--version", std::string("kelvane-optimize ") + KV_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }

    std::unique_ptr<kelvane::Environment> environment;
    try {
        auto source = std::make_shared<kelvane::BaseDataSource>(bundle);
        environment = std::make_unique<kelvane::Environment>(nullptr);
        environment->data_proxy = std::make_shared<kelvane::DataProxy>(source);
        dunlith::init("kelvane-optimize", "", {"localhost", 16003}, bundle);
    } catch (const std::exception& e) {
        std::cerr << "kelvane-optimize: cannot open the bundle " << bundle << ": " << e.what() << '\n';
        return 2;
    }

    std::ifstream file;
    if (!requests.empty()) {
        file.open(requests);
        if (!file) {
            std::cerr << "kelvane-optimize: cannot read the requests file " << requests << '\n';
            return 2;
        }
    }
    std::istream& in = requests.empty() ? std::cin : file;
    if (!answer_stream(in, response_stream(), threads)) return 1;
    return 0;
}
