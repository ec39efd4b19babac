// Fuzzes the bundle reader and the market-data client's files. The input is a whole bundle: its
// files one after the other, separated by lines "%%", in the order trading_dates.csv,
// instruments.csv, day_bars/A.csv, day_bars/B.csv, shenwan.csv, funds.csv (a file the input does
// not reach is absent). A bundle is either refused with a message naming a file of it, or it
// opens and answers reads within their promises.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "check.hpp"
#include "dunlith/dunlith.hpp"
#include "kelvane/data_proxy.hpp"
#include "kelvane/data_source.hpp"
#include "kelvane/exception.hpp"

namespace {

namespace fs = std::filesystem;

const fs::path& scratch() {
    static const fs::path dir = [] {
        const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        fs::path d = base / ("kv-fuzz-bundle-" + std::to_string(::getpid()));
        fs::create_directories(d);
        std::atexit([] { std::error_code ec; fs::remove_all(scratch(), ec); });
        return d;
    }();
    return dir;
}

void write_bundle(std::string_view input) {
    static const char* const files[] = {"trading_dates.csv", "instruments.csv", "day_bars/A.csv",
                                        "day_bars/B.csv",    "shenwan.csv",     "funds.csv"};
    const fs::path& dir = scratch();
    for (const char* f : files) fs::remove(dir / f);
    fs::create_directories(dir / "day_bars");
    for (const char* f : files) {
        if (input.data() == nullptr) break;
        const auto end = input.find("\n%%\n");
        std::ofstream(dir / f, std::ios::binary) << input.substr(0, end);
        input = end == std::string_view::npos ? std::string_view() : input.substr(end + 4);
    }
}

// Refusals must name the bundle's file.
void check_refusal(const std::exception& e) {
    KV_FUZZ_CHECK(std::string_view(e.what()).find(scratch().string()) != std::string_view::npos, e.what());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    write_bundle(std::string_view(reinterpret_cast<const char*>(data), size));
    std::shared_ptr<const kelvane::BaseDataSource> source;
    try {
        source = std::make_shared<kelvane::BaseDataSource>(scratch());
    } catch (const std::runtime_error& e) {
        check_refusal(e);
        return 0;
    }
    const kelvane::DataProxy proxy(source);
    static_cast<void>(proxy.history_bars("A", 5, "1d", "close", kelvane::DateTime(2014, 1, 3)));
    const kelvane::DateTime dates[] = {{2005, 7, 1}, {2014, 1, 3, 15, 0, 0}, {2014, 1, 4}, kelvane::DateTime::max()};
    for (const char* id : {"A", "B", "C"}) {
        static_cast<void>(proxy.instruments(id));
        for (const auto& date : dates)
            for (int window : {-1, 0, 1, 3, 40}) {
                const auto closes = source->closes(id, window, date);
                const auto suspended = source->suspended(id, date, window);
                KV_FUZZ_CHECK(closes.size() <= static_cast<std::size_t>(std::max(window, 0)), id);
                KV_FUZZ_CHECK(suspended.size() <= static_cast<std::size_t>(std::max(window, 0)), id);
                for (double c : closes) KV_FUZZ_CHECK(std::isfinite(c), id);
            }
    }
    for (const auto& date : dates)
        for (int window : {1, 3, 40}) {
            const auto days = proxy.trading_dates(date, window);
            KV_FUZZ_CHECK(days.size() <= static_cast<std::size_t>(window), "trading_dates");
            for (std::size_t k = 0; k < days.size(); ++k)
                KV_FUZZ_CHECK(days[k].day_number() <= date.day_number() && (k == 0 || days[k - 1] < days[k]),
                              "trading_dates");
        }
    try {
        dunlith::init("fuzz", "", {"localhost", 16003}, scratch());
    } catch (const std::runtime_error& e) {
        check_refusal(e);
        return 0;
    }
    // A query needing a classification file the bundle lacks is refused, naming the file.
    const auto query = [](const char* file, const auto& ask) {
        try {
            ask();
        } catch (const kelvane::KVInvalidArgument& e) {
            KV_FUZZ_CHECK(!fs::exists(scratch() / file), e.what());
            check_refusal(e);
        }
    };
    for (const char* id : {"A", "B", "C"}) {
        for (const auto& date : dates)
            query("shenwan.csv", [&] { static_cast<void>(dunlith::shenwan_instrument_industry(id, date)); });
        query("funds.csv", [&] { static_cast<void>(dunlith::fund::instruments(id)); });
    }
    return 0;
}
