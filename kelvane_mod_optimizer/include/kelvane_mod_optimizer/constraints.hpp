// Weight bounds and group constraints: the classification constraint classes that limit the
// total weight of a GICS sector, a ShenWan industry or a fund type, and the instrument-type
// table that keeps a request to one asset class.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kelvane_mod_optimizer/definitions.hpp"
#include "minimize/minimize.hpp"

namespace kelvane_mod_optimizer {

// A constraint record for the minimiser: kind "eq" (fun(x) == 0) or "ineq" (fun(x) >= 0),
// with the exact gradient where it is known. The records of a group limit also carry the
// group's label and the side of its range they bound, so that a violation can be named; the
// budget record says that it is one, so that records of several providers can be joined.
// `linear` says that fun is affine and jac its constant gradient: true for the records this
// library builds (group limits, the budget), which the exact solvers then read as rows; a record
// of the caller's own stays false and is only ever evaluated.
struct ConstraintRecord : minimize::Constraint {
    enum class Side { none, lower, upper };
    std::string group;  // empty for records that belong to no group (the budget constraint)
    Side side = Side::none;
    bool linear = false;
    bool budget = false;  // the budget constraint sum(x) - 1 == 0 of budget_constraint()
    // The number of instruments the record was built for (those handed to to_constraint), which
    // the solvers require of the weights; 0: any number.
    std::size_t instruments = 0;
};

// The budget constraint sum(x) - 1 == 0, with its gradient.
[[nodiscard]] ConstraintRecord budget_constraint();

// Anything that turns the surviving instruments (in weight-vector order) and the date into the
// complete list of constraint records, ending with the budget constraint sum(x) - 1 == 0.
class ConstraintProvider {
public:
    virtual ~ConstraintProvider() = default;
    [[nodiscard]] virtual std::vector<ConstraintRecord> to_constraint(
        const std::vector<std::string>& order_book_ids, const DateTime& date) const = 0;
    // The group labels this provider has rules for, in the order of its rules (a label may
    // match no instrument); none for a provider that has no rules mapping of its own.
    [[nodiscard]] virtual std::vector<std::string> rule_labels() const { return {}; }
};

// Limits the total weight of groups of instruments, an instrument's group being its label under
// a classification (sector, industry, fund type): the rules map a label to its (lower, upper)
// range. The classes below differ only in how they classify.
class ClassificationConstraint : public ConstraintProvider {
public:
    explicit ClassificationConstraint(Rules rules);
    // Accepts every rules mapping: the rules are checked when the records are built, and then
    // only for the groups that occur among the instruments.
    static void _verify_rules(const Rules& rules);
    // Two records per ruled group present (lower, then upper side), then the budget record.
    [[nodiscard]] std::vector<ConstraintRecord> to_constraint(const std::vector<std::string>& order_book_ids,
                                                              const DateTime& date) const final;
    [[nodiscard]] std::vector<std::string> rule_labels() const final;
    Rules _rules;

protected:
    // One group label per instrument, in the order of order_book_ids.
    [[nodiscard]] virtual std::vector<std::string> classify(const std::vector<std::string>& order_book_ids,
                                                            const DateTime& date) const = 0;
};

// Groups instruments by the GICS sector of their host record.
class GICSConstraint final : public ClassificationConstraint {
public:
    using ClassificationConstraint::ClassificationConstraint;

protected:
    [[nodiscard]] std::vector<std::string> classify(const std::vector<std::string>& order_book_ids,
                                                    const DateTime& date) const override;
};

// Groups instruments by their ShenWan industry on the date; those without one form the group
// "__NONE__" (with a warning).
class ShenWanConstraint final : public ClassificationConstraint {
public:
    using ClassificationConstraint::ClassificationConstraint;

protected:
    [[nodiscard]] std::vector<std::string> classify(const std::vector<std::string>& order_book_ids,
                                                    const DateTime& date) const override;
};

// Groups funds by their fund type.
class FundTypeConstraint final : public ClassificationConstraint {
public:
    using ClassificationConstraint::ClassificationConstraint;

protected:
    [[nodiscard]] std::vector<std::string> classify(const std::vector<std::string>& order_book_ids,
                                                    const DateTime& date) const override;
};

// Several providers at once: the records of each part but its budget record, each part's rules
// checked as that part alone checks them, then one budget record. The labels of the parts are
// kept apart: two parts with a rule for the same label limit their own groups each.
class JoinedConstraint final : public ConstraintProvider {
public:
    explicit JoinedConstraint(std::vector<std::shared_ptr<const ConstraintProvider>> parts);
    [[nodiscard]] std::vector<ConstraintRecord> to_constraint(const std::vector<std::string>& order_book_ids,
                                                              const DateTime& date) const override;
    [[nodiscard]] std::vector<std::string> rule_labels() const override;
    [[nodiscard]] const std::vector<std::shared_ptr<const ConstraintProvider>>& parts() const { return parts_; }

private:
    std::vector<std::shared_ptr<const ConstraintProvider>> parts_;
};

// Type code to asset-class label: "CS" 股票, "ETF" and "LOF" 场内基金, "PublicFund" 公募基金.
extern const std::map<std::string, std::string> INSTRUMENT_TYPE_MAP;

}  // namespace kelvane_mod_optimizer
