// L-BFGS-B through the reference Fortran implementation (Debian's liblbfgsb), driven by its
// reverse-communication interface.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "finite_differences.hpp"
#include "minimize/minimize.hpp"

extern "C" void setulb_(const int* n, const int* m, double* x, const double* l, const double* u, const int* nbd,
                        double* f, double* g, const double* factr, const double* pgtol, double* wa, int* iwa,
                        char* task, const int* iprint, char* csave, int* lsave, int* isave, double* dsave,
                        std::size_t task_len, std::size_t csave_len);

namespace minimize {

namespace {

constexpr std::size_t kTextLength = 60;

void set_text(char* field, const char* text) {
    std::memset(field, ' ', kTextLength);
    std::memcpy(field, text, std::min(std::strlen(text), kTextLength));
}

bool starts_with(const char* field, const char* prefix) { return std::strncmp(field, prefix, std::strlen(prefix)) == 0; }

std::string trimmed(const char* field) {
    std::string s(field, kTextLength);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    return s;
}

}  // namespace

Result lbfgsb(const Objective& objective, const Gradient& gradient, const Vector& x0, const std::vector<Bound>& bounds,
              const LbfgsbOptions& options) {
    const int n = static_cast<int>(x0.size());
    if (!bounds.empty() && bounds.size() != static_cast<std::size_t>(x0.size())) throw std::invalid_argument("length of x0 != length of bounds");
    std::vector<double> l(static_cast<std::size_t>(n), 0.0), u(static_cast<std::size_t>(n), 0.0);
    std::vector<int> nbd(static_cast<std::size_t>(n), 0);
    std::vector<Bound> full(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < bounds.size(); ++i) {
        Bound b = bounds[i];
        if (b.lower && std::isinf(*b.lower)) b.lower.reset();
        if (b.upper && std::isinf(*b.upper)) b.upper.reset();
        if (b.lower && b.upper && *b.lower > *b.upper)
            throw std::invalid_argument("LBFGSB - one of the lower bounds is greater than an upper bound.");
        full[i] = b;
        if (b.lower) l[i] = *b.lower;
        if (b.upper) u[i] = *b.upper;
        nbd[i] = b.lower ? (b.upper ? 2 : 1) : (b.upper ? 3 : 0);
    }
    Vector x = x0;
    for (int i = 0; i < n; ++i) {
        const auto& b = full[static_cast<std::size_t>(i)];
        if (b.lower) x[i] = std::max(x[i], *b.lower);
        if (b.upper) x[i] = std::min(x[i], *b.upper);
    }

    // Variables fixed by equal bounds. A forward difference cannot step within such a bound
    // (the step would be 0 and the derivative 0/0), so they are taken out of the problem.
    std::vector<Eigen::Index> free_vars;
    for (Eigen::Index i = 0; i < n; ++i) {
        const auto& b = full[static_cast<std::size_t>(i)];
        if (!(b.lower && b.upper && *b.lower == *b.upper)) free_vars.push_back(i);
    }
    if (!bounds.empty() && free_vars.empty()) {
        Result res;
        res.success = true;
        res.message = "All independent variables were fixed by bounds.";
        res.x = x;
        res.fun = objective(x);
        res.nfev = 1;
        return res;
    }
    if (!gradient && static_cast<Eigen::Index>(free_vars.size()) < n) {
        const auto nf = static_cast<Eigen::Index>(free_vars.size());
        const auto expand = [free_vars, x](const Vector& xr) {
            Vector xf = x;  // fixed entries hold their bound value
            for (Eigen::Index k = 0; k < xr.size(); ++k) xf[free_vars[static_cast<std::size_t>(k)]] = xr[k];
            return xf;
        };
        Vector xr(nf);
        std::vector<Bound> br;
        for (Eigen::Index k = 0; k < nf; ++k) {
            xr[k] = x[free_vars[static_cast<std::size_t>(k)]];
            br.push_back(full[static_cast<std::size_t>(free_vars[static_cast<std::size_t>(k)])]);
        }
        Result res = lbfgsb([&objective, &expand](const Vector& v) { return objective(expand(v)); }, {}, xr, br,
                            options);
        res.x = expand(res.x);
        return res;
    }

    const int m = options.maxcor;
    const double factr = options.ftol / DBL_EPSILON;
    const double pgtol = options.gtol;
    const int iprint = -1;
    std::vector<double> wa(static_cast<std::size_t>(2 * m * n + 5 * n + 11 * m * m + 8 * m));
    std::vector<int> iwa(static_cast<std::size_t>(3 * n));
    char task[kTextLength], csave[kTextLength];
    int lsave[4] = {0, 0, 0, 0};
    int isave[44] = {};
    double dsave[29] = {};
    double f = 0.0;
    Vector g = Vector::Zero(n);
    set_text(task, "START");

    Result result;
    int nit = 0;
    for (;;) {
        setulb_(&n, &m, x.data(), l.data(), u.data(), nbd.data(), &f, g.data(), &factr, &pgtol, wa.data(), iwa.data(),
                task, &iprint, csave, lsave, isave, dsave, kTextLength, kTextLength);
        if (starts_with(task, "FG")) {
            f = objective(x);
            ++result.nfev;
            if (gradient) {
                g = gradient(x);
                ++result.njev;
            } else {
                g = detail::forward_difference(objective, x, f, full, options.eps, result.nfev);
            }
        } else if (starts_with(task, "NEW_X")) {
            ++nit;
            if (nit >= options.maxiter)
                set_text(task, "STOP: TOTAL NO. of ITERATIONS REACHED LIMIT");
            else if (result.nfev > options.maxfun)
                set_text(task, "STOP: TOTAL NO. of f AND g EVALUATIONS EXCEEDS LIMIT");
        } else {
            break;
        }
    }
    result.nit = nit;
    result.message = trimmed(task);
    if (starts_with(task, "CONV"))
        result.status = lbfgsb_status::converged;
    else if (result.nfev > options.maxfun || nit >= options.maxiter)
        result.status = lbfgsb_status::limit_reached;
    else
        result.status = lbfgsb_status::abnormal;
    result.success = result.status == lbfgsb_status::converged;
    result.x = x;
    result.fun = f;
    return result;
}

}  // namespace minimize
