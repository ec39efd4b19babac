// kelvane-optimize end to end: one response line per request line, errors typed and worded,
// order kept with several threads, exit statuses. The Python tests compare its answers with the
// library's (called from Python) on every method and kind of limit. The demonstration run: places
// the sample bundle, prints five results, stops at the first error.
#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "run_program.hpp"

namespace {

using json = nlohmann::ordered_json;

const std::string kTool = std::string(KV_OPTIMIZE_TOOL) + " --bundle " + KV_SAMPLE_BUNDLE;

std::vector<json> answer(const std::string& input, const std::string& arguments = "") {
    const auto r = kv_test::run(kTool + " " + arguments, input);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<json> lines;
    std::istringstream out(r.out);
    for (std::string line; std::getline(out, line);) lines.push_back(json::parse(line));
    return lines;
}

const std::string kTwoBanks = R"("order_book_ids": ["601398.XSHG", "601939.XSHG"], "date": "2014-01-03")";

TEST(OptimizeTool, EveryRequestErrorIsAnsweredOnItsOwnLine) {
    // Every one a BadRequest.
    struct Case {
        std::string request;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"nonsense", "request is not valid JSON: "},
        {"{" + kTwoBanks + R"(, "tol": 1e400})", "request is not valid JSON: "},
        {"[1, 2]", "request must be a JSON object"},
        {R"({"date": "2014-01-03"})", "missing key \"order_book_ids\""},
        {"{" + kTwoBanks + R"(, "weights": 1})", "unknown key \"weights\""},
        {R"({"order_book_ids": ["601398.XSHG", 5], "date": "2014-01-03"})",
         "\"order_book_ids\" must be an array of strings"},
        {R"({"order_book_ids": ["601398.XSHG"], "date": "2014/01/03"})",
         "\"date\" must be \"YYYY-MM-DD\", \"YYYY-MM-DD HH:MM:SS\" or \"YYYY-MM-DDTHH:MM:SS\", got \"2014/01/03\""},
        {"{" + kTwoBanks + R"(, "window": 1.5})", "\"window\" must be an integer"},
        {"{" + kTwoBanks + R"(, "quiet": 1})", "\"quiet\" must be a boolean"},
        {"{" + kTwoBanks + R"(, "bnds": {"*": [0]}})", "\"bnds\" entry \"*\" must be [lower, upper] with two numbers"},
        {"{" + kTwoBanks + R"(, "cons": {"kind": "sector", "rules": {}}})",
         "\"cons\" kind must be \"gics\", \"shenwan\" or \"fund_type\", got \"sector\""},
        {"{" + kTwoBanks + R"(, "cons": {"kind": "gics", "rules": {}, "x": 1}})", "unknown key \"x\" in \"cons\""},
        // A key written twice is refused rather than one of the two values taken.
        {"{" + kTwoBanks + R"(, "tol": 1e-6, "window": 60, "tol": 1e-9})", "duplicate key \"tol\""},
        {"{" + kTwoBanks + R"(, "bnds": {"601398.XSHG": [0, 0.2], "*": [0, 1], "601398.XSHG": [0.5, 1]}})",
         "duplicate key \"601398.XSHG\" in \"bnds\""},
        {"{" + kTwoBanks + R"(, "cons": {"kind": "gics", "rules": {"Financials": [0, 1], "Financials": [0, 0.5]}}})",
         "duplicate key \"Financials\" in \"rules\""},
        // An array of constraint objects, each checked as alone; nothing else in the array.
        {"{" + kTwoBanks + R"(, "cons": [{"kind": "gics", "rules": {}}, [{"kind": "gics", "rules": {}}]]})",
         "\"cons\" must be an object with \"kind\" and \"rules\", or an array of them"},
        {"{" + kTwoBanks + R"(, "cons": [{"kind": "gics", "rules": {}}, {"kind": "sector", "rules": {}}]})",
         "\"cons\" kind must be \"gics\", \"shenwan\" or \"fund_type\", got \"sector\""},
        // An id nested this deep overflowed the stack when it was copied back; the parser would
        // end the text at a NUL byte and leave what follows unread.
        {"{" + kTwoBanks + ", \"id\": " + std::string(100000, '[') + std::string(100000, ']') + "}",
         "request nests arrays and objects more than 256 levels deep"},
        {"{" + kTwoBanks + std::string("}\0{", 3), "request has a NUL byte at offset " + std::to_string(kTwoBanks.size() + 2)},
    };
    std::string input;
    for (std::size_t i = 0; i < cases.size(); ++i) input += cases[i].request + "\n\n";  // blank lines skipped
    const auto lines = answer(input);
    ASSERT_EQ(lines.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].request);
        EXPECT_FALSE(lines[i].contains("weights"));
        EXPECT_EQ(lines[i]["error"]["type"], "BadRequest");
        const std::string message = lines[i]["error"]["message"];
        // Messages ending in ": " go on with the parser's own words.
        EXPECT_EQ(cases[i].message.ends_with(": ") ? message.substr(0, cases[i].message.size()) : message,
                  cases[i].message);
        EXPECT_EQ(lines[i]["log"], json::array());
    }
}

// The id, any JSON value, comes back with the answer or the error, in input order with one thread
// or several. (The logs, with their levels and under quiet, are compared with the library's in the
// Python tests.)
TEST(OptimizeTool, IdsEchoedInInputOrderWithSeveralThreads) {
    std::string input = R"({"id": {"run": [1, "a"]}, )" + kTwoBanks + "}\n" + R"({"id": null, "order_book_ids": []})" + "\n";
    const char* methods[] = {"risk_parity", "min_variance", "mean_variance"};
    for (int day = 2; day <= 31; ++day) {
        input += "{\"id\": " + std::to_string(day) + R"(, "order_book_ids": ["601398.XSHG", "600519.XSHG", "601006.XSHG",)"
                 R"( "600018.XSHG"], "date": "2013-12-)" + (day < 10 ? "0" : "") + std::to_string(day) +
                 R"(", "method": ")" + methods[day % 3] + "\"}\n";
        if (day % 7 == 0) input += "{\"id\": " + std::to_string(100 + day) + "}\n";
    }
    const auto lines = answer(input);
    EXPECT_EQ(answer(input, "--threads 2"), lines);
    ASSERT_EQ(lines.size(), 36u);
    EXPECT_EQ(lines[0]["id"], json::parse(R"({"run": [1, "a"]})"));
    EXPECT_TRUE(lines[0].contains("weights"));
    EXPECT_TRUE(lines[1].contains("id") && lines[1]["id"].is_null());
    EXPECT_EQ(lines[1]["error"]["message"], "missing key \"date\"");
    EXPECT_EQ(lines[2]["id"], 2);
}

// A client that writes one line and waits for its answer gets it before writing the next, with
// one thread or several: the second request is written only once the first answer is out (or
// after 30 s, reported as a failure).
TEST(OptimizeTool, AnswersEachLineBeforeTheNextArrives) {
    const kv_test::TempDir dir("kv-stream");
    const std::string request = "'{\"id\": %s, " + kTwoBanks + "}\\n'";
    dir.write("client.sh", ("for threads in 1 3; do\n"
                            "  out=" + dir.file("out") + "$threads\n"
                            "  { printf " + request + " 1; i=0\n"
                            "    until [ -s $out ] || [ $i -ge 300 ]; do sleep 0.1; i=$((i + 1)); done\n"
                            "    [ -s $out ] || echo \"no answer with $threads threads\" >&2\n"
                            "    printf " + request + " 2; } | " + kTool + " --threads $threads >$out || exit 1\n"
                            "done\n").c_str());
    const auto r = kv_test::run("sh " + dir.file("client.sh"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    for (const char* threads : {"1", "3"}) {
        std::istringstream out(kv_test::read_file(dir.file("out") + threads));
        for (int id : {1, 2}) {
            std::string line;
            ASSERT_TRUE(std::getline(out, line)) << threads << " threads";
            const json response = json::parse(line);
            EXPECT_EQ(response["id"], id);
            EXPECT_TRUE(response.contains("weights")) << line;
        }
    }
}

// A close of 1e50 makes L-BFGS-B's line search meet an ascent direction, which the library reports
// on standard output itself: the responses stay the only lines there, with one thread or several.
TEST(OptimizeTool, StandardOutputCarriesTheResponsesAlone) {
    const kv_test::TempDir spiked("kv-spiked-bundle");
    std::filesystem::copy(KV_SAMPLE_BUNDLE, spiked.dir(), std::filesystem::copy_options::recursive);
    std::string bars = kv_test::read_file(spiked.file("day_bars/601398.XSHG.csv"));
    const std::string day = "\n2013-12-24,";
    const auto at = bars.find(day);
    ASSERT_NE(at, std::string::npos);
    bars.replace(at + day.size(), bars.find(',', at + day.size()) - at - day.size(), "1e50");
    spiked.write("day_bars/601398.XSHG.csv", bars.c_str());
    const std::string input = "{\"id\": 1, " + kTwoBanks + ", \"cov_shrinkage\": false}\n{\"id\": 2, " + kTwoBanks + "}\n";
    for (const char* threads : {"1", "2"}) {
        const auto r = kv_test::run(std::string(KV_OPTIMIZE_TOOL) + " --bundle " + spiked.dir().string() +
                                        " --threads " + threads,
                                    input);
        EXPECT_EQ(r.status, 0) << r.err;
        std::istringstream out(r.out);
        int id = 0;
        for (std::string line; std::getline(out, line);) EXPECT_EQ(json::parse(line)["id"], ++id) << line;
        EXPECT_EQ(id, 2) << r.out;
    }
}

// An answer that cannot be written (here to a full device) is not reported as given.
TEST(OptimizeTool, AnAnswerThatCannotBeWrittenExitsWithOne) {
    for (const char* threads : {"1", "2"}) {
        const auto r = kv_test::run("sh -c '" + kTool + " --threads " + threads + " >/dev/full'", "{" + kTwoBanks + "}\n");
        EXPECT_EQ(r.status, 1) << threads;
        EXPECT_NE(r.err.find("kelvane-optimize: cannot write the responses: "), std::string::npos) << r.err;
    }
}

TEST(OptimizeTool, UsageAndBundleErrorsExitWithTwoAndNoOutput) {
    const kv_test::TempDir broken("kv-broken-bundle");
    std::filesystem::copy(KV_SAMPLE_BUNDLE, broken.dir(), std::filesystem::copy_options::recursive);
    std::ofstream(broken.file("trading_dates.csv"), std::ios::app) << "2014-13-01\n";
    const std::string tool = KV_OPTIMIZE_TOOL;
    struct Case {
        std::string arguments;
        std::string in_stderr;
    };
    const std::vector<Case> cases = {
        {"", "--bundle is required"},
        {"--bundle " + std::string(KV_SAMPLE_BUNDLE) + " --threads 0", "--threads"},
        {"--bundle " + std::string(KV_SAMPLE_BUNDLE) + " --requests /nonexistent/requests.jsonl",
         "cannot read the requests file /nonexistent/requests.jsonl"},
        {"--bundle /nonexistent/bundle", "cannot open the bundle /nonexistent/bundle"},
        {"--bundle " + broken.dir().string(), "trading_dates.csv:485"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const auto r = kv_test::run(tool + " " + c.arguments, "{" + kTwoBanks + "}\n");
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.in_stderr), std::string::npos) << r.err;
    }
    const auto help = kv_test::run(tool + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Example"), std::string::npos);
    const auto version = kv_test::run(tool + " --version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("kelvane-optimize ") + KV_VERSION + "\n");
}

TEST(DemonstrationRun, PlacesTheSampleBundleAndPrintsFiveResults) {
    const kv_test::TempDir home("kv-demo-home");
    const std::string demo = "HOME=" + home.dir().string() + " " + KV_DEMO;
    const auto first = kv_test::run(demo);
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.err.find("placed the sample bundle there"), std::string::npos);
    // Each result: its title, eleven rows and a blank line.
    EXPECT_EQ(std::count(first.out.begin(), first.out.end(), '\n'), 5 * 13);
    EXPECT_NE(first.out.find("5. minimum tracking error"), std::string::npos);

    // The bundle now exists: it is used as it is, without a note.
    const auto second = kv_test::run(demo);
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.err, "");
    EXPECT_EQ(second.out, first.out);

    // Without the benchmark's bars the fifth call fails: the first four stay printed.
    home.write(".kelvane/bundle/day_bars/000300.XSHG.csv", nullptr);
    const auto failed = kv_test::run(demo);
    EXPECT_NE(failed.status, 0);
    EXPECT_NE(failed.out.find("4. risk parity"), std::string::npos);
    EXPECT_EQ(failed.out.find("5. minimum tracking error"), std::string::npos);
    EXPECT_FALSE(failed.err.empty());
}

}  // namespace
