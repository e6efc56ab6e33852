// Levenberg-Marquardt over the shared intrinsics and the per-frame attitudes, with
// Jacobians by central differences through the engine's own projection, so that the
// fitted lens is exactly the model the solves will use.
#include "core/calibrate_fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include <Eigen/Cholesky>
#include <Eigen/Geometry>
#include <Eigen/LU>

namespace stelvane {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Median of the length of a 2-D vector of independent unit-variance normal components.
constexpr double kRayleighMedian = 1.1774100225154747;
// Robust scales are floored here (pixels): a noiseless synthetic frame must not turn every
// rounding-level residual into an outlier.
constexpr double kSigmaFloorPx = 1e-4;
// Central-difference steps: relative for the focal, pixels for the centre, absolute for
// the k's, radians for the attitude.
constexpr double kFocalStepRelative = 1e-6;
constexpr double kCentreStepPx = 1e-3;
constexpr double kCoefficientStep = 1e-6;
constexpr double kRotationStep = 1e-6;
// Marquardt damping: start, factors on success and failure, attempts per iteration.
constexpr double kLambdaStart = 1e-3;
constexpr double kLambdaDown = 0.3;
constexpr double kLambdaUp = 10.0;
constexpr int kLambdaAttempts = 12;
// Converged when an accepted step lowers the cost by less than this fraction.
constexpr double kRelativeCostTolerance = 1e-12;

double difference_step(LensParameter p, double value) {
    switch (p) {
        case LensParameter::FocalPx: return kFocalStepRelative * std::max(std::fabs(value), 1.0);
        case LensParameter::Cx:
        case LensParameter::Cy: return kCentreStepPx;
        default: return kCoefficientStep;
    }
}

// The parameter layout: the free intrinsics first, then three rotation angles for every
// frame that has stars.
struct Layout {
    std::vector<LensParameter> free;
    std::vector<std::optional<std::size_t>> frame_column;  // first column of a frame's rotation
    std::size_t size = 0;

    Layout(const FitSettings& settings, std::size_t n_frames, std::span<const FitStar> stars) {
        for (std::size_t p = 0; p < kLensParameterCount; ++p) {
            if (settings.free[p]) free.push_back(static_cast<LensParameter>(p));
        }
        size = free.size();
        frame_column.assign(n_frames, std::nullopt);
        for (const FitStar& s : stars) {
            if (!frame_column[s.frame]) {
                frame_column[s.frame] = size;
                size += 3;
            }
        }
    }
};

struct State {
    LensModel lens;
    std::vector<Mat3> rotations;
};

std::optional<Pixel> project(const Camera& camera, const FrameSky& frame, const Vec3& camera_direction) {
    return camera.vec_to_pixel(frame.refract(camera_direction));
}

// Predicted minus measured pixel of every star; NaN outside the field.
std::vector<Pixel> prediction_errors(const Camera& camera, std::span<const Mat3> rotations,
                                     std::span<const FrameSky> frames, std::span<const FitStar> stars) {
    std::vector<Pixel> out;
    out.reserve(stars.size());
    for (const FitStar& s : stars) {
        const auto p = predict_pixel(camera, rotations[s.frame], frames[s.frame], s.sky);
        out.push_back(p ? Pixel{p->x - s.x, p->y - s.y} : Pixel{kNaN, kNaN});
    }
    return out;
}

double weighted_cost(std::span<const Pixel> errors, std::span<const double> weights) {
    double cost = 0.0;
    for (std::size_t i = 0; i < errors.size(); ++i) {
        if (weights[i] == 0.0) continue;
        const double e2 = errors[i].x * errors[i].x + errors[i].y * errors[i].y;
        // A weighted star that left the field makes the step unacceptable.
        if (!std::isfinite(e2)) return std::numeric_limits<double>::infinity();
        cost += weights[i] * e2;
    }
    return cost;
}

// Huber weights at HUBER_K robust sigmas (all 1 when not robust); 0 for stars outside the field.
std::vector<double> star_weights(std::span<const Pixel> errors, bool robust) {
    std::vector<double> w(errors.size(), 1.0);
    const double bound = FitSettings::HUBER_K * std::max(robust_sigma_px(errors), kSigmaFloorPx);
    for (std::size_t i = 0; i < errors.size(); ++i) {
        const double e = std::hypot(errors[i].x, errors[i].y);
        if (!std::isfinite(e)) {
            w[i] = 0.0;
        } else if (robust && e > bound) {
            w[i] = bound / e;
        }
    }
    return w;
}

// The lens of an iteration and, for each free intrinsic, the lens stepped either way by its
// difference step: built once for all the stars.
struct SteppedLenses {
    Camera centre;
    std::vector<double> step;
    std::vector<Camera> plus, minus;

    SteppedLenses(const LensModel& lens, const Layout& layout) : centre(lens.camera()) {
        for (const LensParameter p : layout.free) {
            const double h = difference_step(p, lens[p]);
            LensModel up = lens, down = lens;
            up[p] += h;
            down[p] -= h;
            step.push_back(h);
            plus.push_back(up.camera());
            minus.push_back(down.camera());
        }
    }
};

// d(pixel)/d(parameter) of one star: columns for the free intrinsics, then its frame's
// three rotation angles (a rotation w turns the camera-frame direction d into d + d x w).
bool star_jacobian(const State& state, const SteppedLenses& lenses, const FrameSky& frame, const FitStar& star,
                   Eigen::Matrix<double, 2, Eigen::Dynamic>& jac) {
    const std::size_t n_free = lenses.step.size();
    jac.resize(2, static_cast<Eigen::Index>(n_free + 3));
    const Vec3 d = state.rotations[star.frame].transpose() * star.sky;
    for (std::size_t k = 0; k < n_free; ++k) {
        const double h = lenses.step[k];
        const auto a = project(lenses.plus[k], frame, d);
        const auto b = project(lenses.minus[k], frame, d);
        if (!a || !b) return false;
        jac(0, static_cast<Eigen::Index>(k)) = (a->x - b->x) / (2.0 * h);
        jac(1, static_cast<Eigen::Index>(k)) = (a->y - b->y) / (2.0 * h);
    }
    const Camera& camera = lenses.centre;
    for (int axis = 0; axis < 3; ++axis) {
        const Vec3 turn = d.cross(Vec3::Unit(axis)) * kRotationStep;
        const auto a = project(camera, frame, (d + turn).normalized());
        const auto b = project(camera, frame, (d - turn).normalized());
        if (!a || !b) return false;
        jac(0, static_cast<Eigen::Index>(n_free) + axis) = (a->x - b->x) / (2.0 * kRotationStep);
        jac(1, static_cast<Eigen::Index>(n_free) + axis) = (a->y - b->y) / (2.0 * kRotationStep);
    }
    return true;
}

// The global column of local Jacobian column `k` for a star of `frame`.
std::size_t global_column(const Layout& layout, std::size_t frame, std::size_t k) {
    const std::size_t n_free = layout.free.size();
    return k < n_free ? k : *layout.frame_column[frame] + (k - n_free);
}

struct Normal {
    Eigen::MatrixXd a;  // J^T W J
    Eigen::VectorXd b;  // J^T W e
};

Normal normal_equations(const State& state, const Layout& layout, std::span<const FrameSky> frames,
                        std::span<const FitStar> stars, std::span<const Pixel> errors,
                        std::span<double> weights) {
    const auto n = static_cast<Eigen::Index>(layout.size);
    Normal ne{Eigen::MatrixXd::Zero(n, n), Eigen::VectorXd::Zero(n)};
    Eigen::Matrix<double, 2, Eigen::Dynamic> jac;
    const SteppedLenses lenses(state.lens, layout);
    for (std::size_t i = 0; i < stars.size(); ++i) {
        if (weights[i] == 0.0) continue;
        const FitStar& s = stars[i];
        if (!star_jacobian(state, lenses, frames[s.frame], s, jac)) {
            weights[i] = 0.0;  // on the edge of the field: left out of this iteration
            continue;
        }
        const Eigen::Vector2d e(errors[i].x, errors[i].y);
        const auto local = static_cast<std::size_t>(jac.cols());
        for (std::size_t p = 0; p < local; ++p) {
            const auto gp = static_cast<Eigen::Index>(global_column(layout, s.frame, p));
            ne.b(gp) += weights[i] * jac.col(static_cast<Eigen::Index>(p)).dot(e);
            for (std::size_t q = 0; q < local; ++q) {
                const auto gq = static_cast<Eigen::Index>(global_column(layout, s.frame, q));
                ne.a(gp, gq) +=
                    weights[i] * jac.col(static_cast<Eigen::Index>(p)).dot(jac.col(static_cast<Eigen::Index>(q)));
            }
        }
    }
    return ne;
}

State stepped(const State& state, const Layout& layout, const Eigen::VectorXd& delta) {
    State next = state;
    for (std::size_t k = 0; k < layout.free.size(); ++k) next.lens[layout.free[k]] += delta(static_cast<Eigen::Index>(k));
    for (std::size_t f = 0; f < layout.frame_column.size(); ++f) {
        if (!layout.frame_column[f]) continue;
        const Vec3 w = delta.segment<3>(static_cast<Eigen::Index>(*layout.frame_column[f]));
        const double angle = w.norm();
        if (angle > 0.0) next.rotations[f] = next.rotations[f] * Eigen::AngleAxisd(angle, w / angle).toRotationMatrix();
    }
    return next;
}

std::size_t stars_in_field(std::span<const double> weights) {
    return static_cast<std::size_t>(std::count_if(weights.begin(), weights.end(), [](double w) { return w > 0.0; }));
}

}  // namespace

double robust_sigma_px(std::span<const Pixel> residuals) {
    std::vector<double> lengths;
    lengths.reserve(residuals.size());
    for (const Pixel& r : residuals) {
        const double e = std::hypot(r.x, r.y);
        if (std::isfinite(e)) lengths.push_back(e);
    }
    if (lengths.empty()) return 0.0;
    auto mid = lengths.begin() + static_cast<std::ptrdiff_t>(lengths.size() / 2);
    std::nth_element(lengths.begin(), mid, lengths.end());
    return *mid / kRayleighMedian;
}

Result<LensFit> fit_lens(const LensModel& start, std::span<const Mat3> rotations, std::span<const FrameSky> frames,
                         std::span<const FitStar> stars, const FitSettings& settings) {
    const Layout layout(settings, frames.size(), stars);
    State state{start, std::vector<Mat3>(rotations.begin(), rotations.end())};
    double lambda = kLambdaStart;
    std::size_t iterations = 0;
    std::vector<Pixel> errors = prediction_errors(state.lens.camera(), state.rotations, frames, stars);
    std::vector<double> weights;
    for (; iterations < settings.max_iterations; ++iterations) {
        weights = star_weights(errors, settings.robust);
        const Normal ne = normal_equations(state, layout, frames, stars, errors, weights);
        if (2 * stars_in_field(weights) < layout.size) return InsufficientStars{layout.size, 2 * stars_in_field(weights)};
        const double cost = weighted_cost(errors, weights);
        bool accepted = false;
        double new_cost = cost;
        for (int attempt = 0; attempt < kLambdaAttempts && !accepted; ++attempt) {
            Eigen::MatrixXd damped = ne.a;
            damped.diagonal() += lambda * ne.a.diagonal();
            const Eigen::VectorXd delta = damped.ldlt().solve(-ne.b);
            if (!delta.allFinite()) return SingularGeometry{};
            State trial = stepped(state, layout, delta);
            std::vector<Pixel> trial_errors = prediction_errors(trial.lens.camera(), trial.rotations, frames, stars);
            new_cost = weighted_cost(trial_errors, weights);
            if (new_cost <= cost) {
                state = std::move(trial);
                errors = std::move(trial_errors);
                lambda *= kLambdaDown;
                accepted = true;
            } else {
                lambda *= kLambdaUp;
            }
        }
        if (!accepted || cost - new_cost <= kRelativeCostTolerance * cost) {
            ++iterations;
            break;
        }
    }

    // The covariance of unit weight at the solution, without the robust weights.
    std::vector<double> unit(stars.size());
    for (std::size_t i = 0; i < stars.size(); ++i) unit[i] = std::isfinite(errors[i].x) ? 1.0 : 0.0;
    const Normal ne = normal_equations(state, layout, frames, stars, errors, unit);
    const std::size_t n_in = stars_in_field(unit);
    if (2 * n_in <= layout.size) return InsufficientStars{layout.size, 2 * n_in};
    const Eigen::FullPivLU<Eigen::MatrixXd> lu(ne.a);
    if (!lu.isInvertible()) return SingularGeometry{};
    const Eigen::MatrixXd inverse = lu.inverse();
    const double sum_sq = weighted_cost(errors, unit);
    const double variance = sum_sq / static_cast<double>(2 * n_in - layout.size);
    const auto n_free = static_cast<Eigen::Index>(layout.free.size());

    LensFit fit;
    fit.lens = state.lens;
    fit.rotations = std::move(state.rotations);
    fit.residuals.reserve(errors.size());
    for (const Pixel& e : errors) fit.residuals.push_back({-e.x, -e.y});
    fit.free = layout.free;
    fit.covariance = variance * inverse.topLeftCorner(n_free, n_free);
    fit.rms_px = std::sqrt(sum_sq / static_cast<double>(n_in));
    return fit;
}

}  // namespace stelvane
