// The host's instrument record.
#pragma once

#include <string>

#include "kelvane/datetime.hpp"

namespace kelvane {

struct Instrument {
    std::string order_book_id;  // "600519.XSHG"
    std::string symbol;
    std::string type;           // type code: "CS", "ETF", "LOF", "PublicFund", "INDX", ...
    DateTime listed_date;
    DateTime de_listed_date = DateTime::max();  // DateTime::max() when not delisted
    std::string sector_name;    // GICS sector; may be empty
};

}  // namespace kelvane
