// Risk parity of six Shanghai stocks on 2014-01-06 with every weight at most 0.3 and the banks
// ("银行") between 0.3 and 0.5 together, over the bundle named on the command line. Prints
// the weights; exits 1 when the answer breaks what was asked for.
#include <cmath>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "dunlith/dunlith.hpp"
#include "kelvane/data_proxy.hpp"
#include "kelvane/data_source.hpp"
#include "kelvane/environment.hpp"
#include "kelvane_mod_optimizer/optimizer.hpp"

namespace kmo = kelvane_mod_optimizer;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: consumer BUNDLE_DIR\n";
        return 2;
    }
    try {
        const std::string bundle = argv[1];
        dunlith::init("consumer", "", {"localhost", 16003}, bundle);
        kelvane::Environment environment(nullptr);
        environment.data_proxy =
            std::make_shared<kelvane::DataProxy>(std::make_shared<kelvane::BaseDataSource>(bundle));

        const std::vector<std::string> ids{"601398.XSHG", "601939.XSHG", "601288.XSHG",
                                           "600519.XSHG", "601857.XSHG", "600028.XSHG"};
        const std::vector<std::string> banks{"601398.XSHG", "601939.XSHG", "601288.XSHG"};
        const kmo::WeightMap w = kmo::optimize(
            ids, kmo::DateTime(2014, 1, 6),
            {.bnds = kmo::Bounds{{"*", {0, 0.3}}},
             .cons = std::make_shared<kmo::ShenWanConstraint>(kmo::Rules{{"银行", {0.3, 0.5}}})});

        double sum = 0, bank_sum = 0;
        bool within = w.size() == ids.size();
        for (const auto& [id, weight] : w) {
            std::cout << id << ' ' << weight << '\n';
            sum += weight;
            within = within && weight >= -1e-9 && weight <= 0.3 + 1e-9;
            for (const auto& b : banks) bank_sum += b == id ? weight : 0.0;
        }
        within = within && std::abs(sum - 1) < 1e-9 && bank_sum >= 0.3 - 1e-9 && bank_sum <= 0.5 + 1e-9;
        if (!within) {
            std::cerr << "consumer: the answer breaks the bounds, the bank limits or the budget\n";
            return 1;
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "consumer: " << e.what() << '\n';
        return 1;
    }
}
