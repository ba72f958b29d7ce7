#include "engine_ops/ops.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "kernels/rolling.hpp"
#include "kernels/rolling_regression.hpp"
#include "kernels/rolling_shape.hpp"

namespace tarnfold::engine {

namespace {

using kern::kNaN;

// -- element-wise ----------------------------------------------------------

template <typename F>
Value map1(const OpCall &c, F f) {
    const Value &a = c.args[0];
    if (a.scalar) return Value::of(f(a.number));
    c.buf->resize(static_cast<std::size_t>(a.len));
    double *o = c.buf->data();
    for (index_t k = 0; k < a.len; ++k) o[k] = f(a.data[k]);
    return Value::series(o, a.len);
}

// Series of different lengths are aligned on their last (most recent)
// element; the result covers the days both cover.
template <typename F>
Value map2(const OpCall &c, F f) {
    const Value &a = c.args[0], &b = c.args[1];
    if (a.scalar && b.scalar) return Value::of(f(a.number, b.number));
    index_t len = a.scalar ? b.len : (b.scalar ? a.len : std::min(a.len, b.len));
    c.buf->resize(static_cast<std::size_t>(len));
    double *o = c.buf->data();
    if (a.scalar) {
        const double *pb = b.data + (b.len - len);
        for (index_t k = 0; k < len; ++k) o[k] = f(a.number, pb[k]);
    } else if (b.scalar) {
        const double *pa = a.data + (a.len - len);
        for (index_t k = 0; k < len; ++k) o[k] = f(pa[k], b.number);
    } else {
        const double *pa = a.data + (a.len - len), *pb = b.data + (b.len - len);
        for (index_t k = 0; k < len; ++k) o[k] = f(pa[k], pb[k]);
    }
    return Value::series(o, len);
}

// numpy's floor division and remainder for floats (npy_divmod).
double py_divmod(double a, double b, double &mod) {
    mod = std::fmod(a, b);
    if (b == 0.0) return a / b;
    double div = (a - mod) / b;
    if (mod != 0.0) {
        if ((b < 0) != (mod < 0)) {
            mod += b;
            div -= 1.0;
        }
    } else {
        mod = std::copysign(0.0, b);
    }
    double floordiv;
    if (div != 0.0) {
        floordiv = std::floor(div);
        if (div - floordiv > 0.5) floordiv += 1.0;
    } else {
        floordiv = std::copysign(0.0, a / b);
    }
    return floordiv;
}

double nan_or(double a, double b, bool v) {
    return (std::isnan(a) || std::isnan(b)) ? kNaN : (v ? 1.0 : 0.0);
}

double sign_of(double x) {
    if (std::isnan(x)) return kNaN;
    return x > 0 ? 1.0 : (x < 0 ? -1.0 : 0.0);
}

Value op_add(const OpCall &c) {
    return map2(c, [](double a, double b) { return a + b; });
}
Value op_sub(const OpCall &c) {
    return map2(c, [](double a, double b) { return a - b; });
}
Value op_mul(const OpCall &c) {
    return map2(c, [](double a, double b) { return a * b; });
}
Value op_div(const OpCall &c) {
    return map2(c, [](double a, double b) { return a / b; });
}
Value op_floordiv(const OpCall &c) {
    return map2(c, [](double a, double b) {
        double m;
        return py_divmod(a, b, m);
    });
}
Value op_mod(const OpCall &c) {
    return map2(c, [](double a, double b) {
        double m;
        py_divmod(a, b, m);
        return m;
    });
}
// pow with a constant exponent of 1 or 2 is a copy or a product (the same
// numbers as the library call, which is exact or correctly rounded there,
// at a fraction of its cost).
Value op_pow(const OpCall &c) {
    if (!c.args[0].scalar && c.args[1].scalar) {
        if (c.args[1].number == 1.0) return map1(c, [](double a) { return a; });
        if (c.args[1].number == 2.0) return map1(c, [](double a) { return a * a; });
    }
    return map2(c, [](double a, double b) { return std::pow(a, b); });
}
Value op_lt(const OpCall &c) {
    return map2(c, [](double a, double b) { return nan_or(a, b, a < b); });
}
Value op_le(const OpCall &c) {
    return map2(c, [](double a, double b) { return nan_or(a, b, a <= b); });
}
Value op_gt(const OpCall &c) {
    return map2(c, [](double a, double b) { return nan_or(a, b, a > b); });
}
Value op_ge(const OpCall &c) {
    return map2(c, [](double a, double b) { return nan_or(a, b, a >= b); });
}
Value op_eq(const OpCall &c) {
    return map2(c, [](double a, double b) { return nan_or(a, b, a == b); });
}
Value op_ne(const OpCall &c) {
    return map2(c, [](double a, double b) { return nan_or(a, b, a != b); });
}
Value op_neg(const OpCall &c) {
    return map1(c, [](double a) { return -a; });
}
Value op_abs(const OpCall &c) {
    return map1(c, [](double a) { return std::fabs(a); });
}
Value op_log(const OpCall &c) {
    return map1(c, [](double a) { return std::log(a); });
}
Value op_sign(const OpCall &c) { return map1(c, sign_of); }
Value op_min(const OpCall &c) {
    return map2(c, [](double a, double b) {
        return (std::isnan(a) || std::isnan(b)) ? kNaN : std::min(a, b);
    });
}
Value op_max(const OpCall &c) {
    return map2(c, [](double a, double b) {
        return (std::isnan(a) || std::isnan(b)) ? kNaN : std::max(a, b);
    });
}
Value op_and(const OpCall &c) {
    return map2(c, [](double a, double b) { return nan_or(a, b, a != 0.0 && b != 0.0); });
}
Value op_or(const OpCall &c) {
    return map2(c, [](double a, double b) { return nan_or(a, b, a != 0.0 || b != 0.0); });
}
Value op_not(const OpCall &c) {
    return map1(c, [](double a) { return std::isnan(a) ? kNaN : (a == 0.0 ? 1.0 : 0.0); });
}

// where(cond, a, b): a where cond is non-zero, b where it is zero, NaN
// where cond is NaN; the three are aligned on their most recent days.
Value op_where(const OpCall &c) {
    const Value &k = c.args[0], &a = c.args[1], &b = c.args[2];
    auto pick = [](double cond, double x, double y) {
        return std::isnan(cond) ? kNaN : (cond != 0.0 ? x : y);
    };
    if (k.scalar && a.scalar && b.scalar) return Value::of(pick(k.number, a.number, b.number));
    index_t len = -1;
    for (const Value *v : {&k, &a, &b})
        if (!v->scalar) len = len < 0 ? v->len : std::min(len, v->len);
    auto at = [len](const Value &v, index_t i) {
        return v.scalar ? v.number : v.data[v.len - len + i];
    };
    c.buf->resize(static_cast<std::size_t>(len));
    double *o = c.buf->data();
    for (index_t i = 0; i < len; ++i) o[i] = pick(at(k, i), at(a, i), at(b, i));
    return Value::series(o, len);
}

Value op_signed_power(const OpCall &c) {
    // a constant exponent of 1 or 2 as in op_pow: the same numbers
    if (!c.args[0].scalar && c.args[1].scalar) {
        if (c.args[1].number == 1.0)
            return map1(c, [](double a) { return sign_of(a) * std::fabs(a); });
        if (c.args[1].number == 2.0) return map1(c, [](double a) { return sign_of(a) * (a * a); });
    }
    return map2(c, [](double a, double b) { return sign_of(a) * std::pow(std::fabs(a), b); });
}

// -- time series -----------------------------------------------------------

// The series a time-series operator works on: a constant becomes a series
// over every valid day of the instrument.
const Value series_arg(const OpCall &c, int k) {
    const Value &a = c.args[k];
    if (!a.scalar) return a;
    if (c.nvalid < 0) {
        throw OpError{std::string(c.name) + ": expected a series for argument " +
                      std::to_string(k + 1) + ", got a number"};
    }
    c.aux->assign(static_cast<std::size_t>(c.nvalid), a.number);
    return Value::series(c.aux->data(), c.nvalid);
}

index_t window_param(const OpCall &c, int k, index_t minimum) {
    const double d = c.params[k];
    if (!std::isfinite(d) || std::floor(d) < static_cast<double>(minimum)) {
        throw OpError{std::string(c.name) + ": window must be at least " + std::to_string(minimum)};
    }
    return static_cast<index_t>(std::floor(d));
}

template <void (*Kernel)(const double *, index_t, index_t, double *), index_t Min>
Value op_window(const OpCall &c) {
    const Value x = series_arg(c, 0);
    const index_t d = window_param(c, 0, Min);
    c.buf->resize(static_cast<std::size_t>(x.len));
    Kernel(x.data, x.len, d, c.buf->data());
    return Value::series(c.buf->data(), x.len);
}

// Two series over the same window: aligned on their most recent days.
template <void (*Kernel)(const double *, const double *, index_t, index_t, double *)>
Value op_pair_window(const OpCall &c) {
    const Value x = series_arg(c, 0);
    // The second argument may use the slot's scratch too: copy x first if
    // it does.
    std::vector<double> xcopy;
    Value xs = x;
    if (c.args[1].scalar && c.args[0].scalar) {
        xcopy.assign(x.data, x.data + x.len);
        xs = Value::series(xcopy.data(), x.len);
    }
    const Value y = series_arg(c, 1);
    const index_t d = window_param(c, 0, 1);
    const index_t len = std::min(xs.len, y.len);
    c.buf->resize(static_cast<std::size_t>(len));
    Kernel(xs.data + (xs.len - len), y.data + (y.len - len), len, d, c.buf->data());
    return Value::series(c.buf->data(), len);
}

// params: d, q
Value op_quantile(const OpCall &c) {
    const Value x = series_arg(c, 0);
    const index_t d = window_param(c, 0, 1);
    const double q = c.params[1];
    if (!(q >= 0.0 && q <= 1.0)) throw OpError{std::string(c.name) + ": q must be in [0, 1]"};
    c.buf->resize(static_cast<std::size_t>(x.len));
    kern::rolling_quantile(x.data, x.len, d, q, c.buf->data());
    return Value::series(c.buf->data(), x.len);
}

// params: alpha, min_periods
Value op_ewm(const OpCall &c) {
    const Value x = series_arg(c, 0);
    const double alpha = c.params[0];
    if (!(alpha > 0.0 && alpha <= 1.0)) {
        throw OpError{std::string(c.name) + ": alpha must be in (0, 1]"};
    }
    const index_t minp = window_param(c, 1, 0);
    c.buf->resize(static_cast<std::size_t>(x.len));
    kern::ewm_mean(x.data, x.len, alpha, minp, c.buf->data());
    return Value::series(c.buf->data(), x.len);
}

const OpDef kOps[] = {
    {"add", 2, 0, 0, op_add},
    {"sub", 2, 0, 0, op_sub},
    {"mul", 2, 0, 0, op_mul},
    {"div", 2, 0, 0, op_div},
    {"floordiv", 2, 0, 0, op_floordiv},
    {"mod", 2, 0, 0, op_mod},
    {"pow", 2, 0, 0, op_pow},
    {"lt", 2, 0, 0, op_lt},
    {"le", 2, 0, 0, op_le},
    {"gt", 2, 0, 0, op_gt},
    {"ge", 2, 0, 0, op_ge},
    {"eq", 2, 0, 0, op_eq},
    {"ne", 2, 0, 0, op_ne},
    {"neg", 1, 0, 0, op_neg},
    {"abs", 1, 0, 0, op_abs},
    {"log", 1, 0, 0, op_log},
    {"sign", 1, 0, 0, op_sign},
    {"signed_power", 2, 0, 0, op_signed_power},
    {"ts_mean", 1, 1, 1, op_window<kern::rolling_mean, 1>},
    {"ts_sum", 1, 1, 1, op_window<kern::rolling_sum, 1>},
    {"ts_std", 1, 1, 1, op_window<kern::rolling_std, 1>},
    {"delay", 1, 1, 1, op_window<kern::shift_back, 0>},
    {"delta", 1, 1, 1, op_window<kern::difference, 0>},
    {"ts_product", 1, 1, 1, op_window<kern::rolling_product, 1>},
    {"ts_min", 1, 1, 1, op_window<kern::rolling_min, 1>},
    {"ts_max", 1, 1, 1, op_window<kern::rolling_max, 1>},
    {"ts_argmin", 1, 1, 1, op_window<kern::rolling_argmin, 1>},
    {"ts_argmax", 1, 1, 1, op_window<kern::rolling_argmax, 1>},
    {"ts_rank", 1, 1, 1, op_window<kern::rolling_rank_pct, 1>},
    {"decay_linear", 1, 1, 1, op_window<kern::decay_linear, 1>},
    {"correlation", 2, 1, 1, op_pair_window<kern::rolling_corr>},
    {"covariance", 2, 1, 1, op_pair_window<kern::rolling_cov>},
    {"min", 2, 0, 0, op_min},
    {"max", 2, 0, 0, op_max},
    {"and", 2, 0, 0, op_and},
    {"or", 2, 0, 0, op_or},
    {"not", 1, 0, 0, op_not},
    {"where", 3, 0, 0, op_where},
    {"ts_median", 1, 1, 1, op_window<kern::rolling_median, 1>},
    {"ts_quantile", 1, 2, 2, op_quantile},
    {"ts_mad", 1, 1, 1, op_window<kern::rolling_mad, 1>},
    {"ts_skew", 1, 1, 1, op_window<kern::rolling_skew, 1>},
    {"ts_kurt", 1, 1, 1, op_window<kern::rolling_kurt, 1>},
    {"ts_count", 1, 1, 1, op_window<kern::rolling_count, 1>},
    {"ts_slope", 1, 1, 1, op_window<kern::rolling_slope, 1>},
    {"ts_rsquare", 1, 1, 1, op_window<kern::rolling_rsquare, 1>},
    {"ts_resid", 1, 1, 1, op_window<kern::rolling_resid, 1>},
    {"regression_slope", 2, 1, 1, op_pair_window<kern::rolling_regression_slope>},
    {"regression_rsquare", 2, 1, 1, op_pair_window<kern::rolling_regression_rsquare>},
    {"regression_resid", 2, 1, 1, op_pair_window<kern::rolling_regression_resid>},
    {"ema", 1, 2, 2, op_ewm},
    {"dma", 1, 2, 2, op_ewm},
};

}  // namespace

std::span<const OpDef> op_table() { return kOps; }

const OpDef *find_op(const std::string &name) {
    static const std::map<std::string, const OpDef *> table = [] {
        std::map<std::string, const OpDef *> t;
        for (const OpDef &op : kOps) t[op.name] = &op;
        return t;
    }();
    auto it = table.find(name);
    return it == table.end() ? nullptr : it->second;
}

}  // namespace tarnfold::engine
