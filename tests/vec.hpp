// A short vector written out in place: vec({0.5, 0.5}).
#pragma once

#include <initializer_list>

#include <Eigen/Core>

inline Eigen::VectorXd vec(std::initializer_list<double> v) {
    return Eigen::Map<const Eigen::VectorXd>(v.begin(), static_cast<Eigen::Index>(v.size()));
}
