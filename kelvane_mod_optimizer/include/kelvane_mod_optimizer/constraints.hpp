// Weight bounds and group constraints: the classification constraint classes that limit the
// total weight of a GICS sector, a ShenWan industry or a fund type, and the instrument-type
// table that keeps a request to one asset class.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "kelvane_mod_optimizer/definitions.hpp"
#include "minimize/minimize.hpp"

namespace kelvane_mod_optimizer {

// A constraint record for the minimiser: kind "eq" (fun(x) == 0) or "ineq" (fun(x) >= 0),
// with the exact gradient where it is known. The records of a group limit also carry the
// group's label and the side of its range they bound, so that a violation can be named.
// `linear` says that fun is affine and jac its constant gradient: true for the records this
// library builds (group limits, the budget), which the exact solvers then read as rows; a record
// of the caller's own stays false and is only ever evaluated.
struct ConstraintRecord : minimize::Constraint {
    enum class Side { none, lower, upper };
    std::string group;  // empty for records that belong to no group (the budget constraint)
    Side side = Side::none;
    bool linear = false;
};

// Anything that turns the surviving instruments (in weight-vector order) and the date into the
// complete list of constraint records, ending with the budget constraint sum(x) - 1 == 0.
class ConstraintProvider {
public:
    virtual ~ConstraintProvider() = default;
    [[nodiscard]] virtual std::vector<ConstraintRecord> to_constraint(
        const std::vector<std::string>& order_book_ids, const DateTime& date) const = 0;
};

// Groups instruments by the GICS sector of their host record.
class GICSConstraint : public ConstraintProvider {
public:
    explicit GICSConstraint(Rules rules);
    static void _verify_rules(const Rules& rules);
    [[nodiscard]] std::vector<ConstraintRecord> to_constraint(
        const std::vector<std::string>& order_book_ids, const DateTime& date) const override;
    Rules _rules;
};

// Groups instruments by their ShenWan industry on the date; those without one form the group
// "__NONE__" (with a warning).
class ShenWanConstraint : public ConstraintProvider {
public:
    explicit ShenWanConstraint(Rules rules);
    static void _verify_rules(const Rules& rules);
    [[nodiscard]] std::vector<ConstraintRecord> to_constraint(
        const std::vector<std::string>& order_book_ids, const DateTime& date) const override;
    Rules _rules;
};

// Groups funds by their fund type.
class FundTypeConstraint : public ConstraintProvider {
public:
    explicit FundTypeConstraint(Rules rules);
    static void _verify_rules(const Rules& rules);
    [[nodiscard]] std::vector<ConstraintRecord> to_constraint(
        const std::vector<std::string>& order_book_ids, const DateTime& date) const override;
    Rules _rules;
};

// Type code to asset-class label: "CS" 股票, "ETF" and "LOF" 场内基金, "PublicFund" 公募基金.
extern const std::map<std::string, std::string> INSTRUMENT_TYPE_MAP;

}  // namespace kelvane_mod_optimizer
