// Matrices and vectors read from a reference fixture's JSON arrays; a null entry is `absent` when
// one is given and an error otherwise.
#pragma once

#include <optional>

#include <Eigen/Core>
#include <nlohmann/json.hpp>

namespace kv_test {

inline double entry(const nlohmann::json& e, std::optional<double> absent) {
    return e.is_null() && absent ? *absent : e.get<double>();
}

inline Eigen::VectorXd vector(const nlohmann::json& values, std::optional<double> absent = std::nullopt) {
    Eigen::VectorXd v(static_cast<Eigen::Index>(values.size()));
    for (Eigen::Index i = 0; i < v.size(); ++i) v[i] = entry(values[static_cast<std::size_t>(i)], absent);
    return v;
}

// `cols` is needed only for a matrix that may have no rows.
inline Eigen::MatrixXd matrix(const nlohmann::json& rows, std::optional<Eigen::Index> cols = std::nullopt,
                              std::optional<double> absent = std::nullopt) {
    Eigen::MatrixXd m(static_cast<Eigen::Index>(rows.size()),
                      cols ? *cols : static_cast<Eigen::Index>(rows.at(0).size()));
    for (Eigen::Index i = 0; i < m.rows(); ++i)
        for (Eigen::Index j = 0; j < m.cols(); ++j)
            m(i, j) = entry(rows[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)], absent);
    return m;
}

}  // namespace kv_test
