// kelvane-optimize: answers optimisation requests, one JSON object per line, over a data bundle.
#include <atomic>
#include <cstdio>
#include <exception>
#include <fstream>
#include <future>
#include <iostream>
#include <malloc.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "dunlith/dunlith.hpp"
#include "kelvane/data_proxy.hpp"
#include "kelvane/data_source.hpp"
#include "kelvane/environment.hpp"
#include "protocol.hpp"

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
BadRequest, KVInvalidArgument, OptimizationFailed.

Exit status: 0 when every line was answered (failed requests included), 2 for a usage
error or a bundle that cannot be opened.)";

// Answers the lines on `threads` workers while this thread prints the responses in input
// order, each as soon as it is ready.
void answer_all(const std::vector<std::string>& lines, unsigned threads) {
    std::vector<std::promise<std::string>> promises(lines.size());
    std::vector<std::future<std::string>> responses;
    responses.reserve(lines.size());
    for (auto& p : promises) responses.push_back(p.get_future());
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < lines.size();) {
            try {
                promises[i].set_value(kelvane_optimize::answer(lines[i]));
            } catch (...) {
                promises[i].set_exception(std::current_exception());
            }
        }
    };
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) workers.emplace_back(work);
    for (auto& r : responses) std::cout << r.get() << '\n' << std::flush;
    for (auto& w : workers) w.join();
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
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
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
    // One thread answers each line as it arrives, so that a pipe sees every answer at once;
    // several threads read everything first.
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        if (threads == 1)
            std::cout << kelvane_optimize::answer(line) << '\n' << std::flush;
        else
            lines.push_back(std::move(line));
    }
    answer_all(lines, threads);
    return 0;
}
