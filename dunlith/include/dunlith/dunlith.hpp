// The market-data client: ShenWan industry classification and fund records. Here it serves
// them from the shenwan.csv and funds.csv files of a local data bundle.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "kelvane/datetime.hpp"

namespace dunlith {

// Address of the data service: host name and port.
using Address = std::pair<std::string, int>;

// Logs in; afterwards the queries below are served from `bundle_dir` (default: ~/.kelvane/bundle).
// Throws std::runtime_error naming the path when the directory does not exist, or when the files
// there are malformed (file and line named). shenwan.csv and funds.csv are optional; a query
// that needs one the bundle lacks throws kelvane::KVInvalidArgument naming its path.
void init(const std::string& user, const std::string& password, const Address& address);
void init(const std::string& user, const std::string& password, const Address& address,
          const std::filesystem::path& bundle_dir);

struct ShenWanIndustry {
    std::string industry_code;
    std::string industry_name;
};

// The instrument's ShenWan industry on `date`, or std::nullopt when it has none then.
// Throws std::logic_error before init().
std::optional<ShenWanIndustry> shenwan_instrument_industry(const std::string& order_book_id,
                                                           const kelvane::DateTime& date);

namespace fund {
struct FundRecord {
    std::string order_book_id;
    std::string fund_type;
};
// The fund record, or std::nullopt for an identifier that is no known fund.
// Throws std::logic_error before init().
std::optional<FundRecord> instruments(const std::string& order_book_id);
}  // namespace fund

// Something else that answers the two queries, in place of the logged-in bundle client (a test
// double, or a client written in another language).
class Client {
public:
    virtual ~Client() = default;
    [[nodiscard]] virtual std::optional<ShenWanIndustry> shenwan_instrument_industry(
        const std::string& order_book_id, const kelvane::DateTime& date) const = 0;
    [[nodiscard]] virtual std::optional<fund::FundRecord> fund_instruments(const std::string& order_book_id) const = 0;
};

// From now on the queries above go to `client` (init() is not needed then); nullptr goes back
// to the logged-in bundle client.
void set_client(std::shared_ptr<const Client> client);

}  // namespace dunlith
