// Star identification by angular pattern: a spatial grid over catalog
// directions, catalog triangles matching a camera triangle's three sides, and
// the matcher that verifies each hypothesis and checks that the winner is no fluke.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/catalog.hpp"
#include "core/error.hpp"
#include "core/vec.hpp"

namespace stelvane {

// Declination bands of equal height, each cut into right-ascension cells whose
// number follows the band's circumference, so cells are roughly square. Stars
// are placed by their catalog-epoch ra/dec and referred to by star index.
struct StarGrid {
    std::size_t n_bands = 1;
    double band_height = 0.0;                  // pi / n_bands, radians
    std::vector<std::size_t> cells_per_band;   // n_bands counts, each >= 1
    std::vector<std::size_t> band_start;       // n_bands + 1 running sums of cells_per_band
    std::vector<std::size_t> cell_start;       // total cells + 1 offsets into entries
    std::vector<std::size_t> entries;          // star indices grouped by cell, ascending within a cell

    // The grid for a match tolerance (radians; floored at half a degree of band height).
    // Three linear passes over the stars; one flat entries list.
    static StarGrid build(std::span<const Star> stars, double tolerance);

    // The cell numbered band by band from the south pole, eastward from ra 0.
    std::size_t cell_of(double ra, double dec) const;

    // Clears `out` and appends the stars of every cell that may hold a star within
    // `radius` (radians) of the unit vector `direction`: a superset, no duplicates.
    // Allocates nothing once `out` has grown to its working size.
    void query(const Vec3& direction, double radius, std::vector<std::size_t>& out) const;
};

// Catalog star indices (sa, sb, sc) for camera directions (a, b, c).
using StarTriple = std::array<std::size_t, 3>;

// Every assignment of catalog stars to the camera triangle (a, b, c) whose three
// pairwise separations each lie in the pair index's run
// [cos(theta + tolerance), cos(theta - tolerance)] of the camera side theta.
// Order: a-b pairs in pair-index order; for each, the orientation (a = i, b = j)
// then (a = j, b = i), each in b-c run order. Not deduplicated: a pair listed
// twice yields its hypotheses twice. `pairs` must be sorted by cos_theta.
std::vector<StarTriple> triangle_hypotheses(std::span<const Vec3> cam_vecs, std::array<std::size_t, 3> abc,
                                            std::span<const Pair> pairs, double tolerance);

// One camera side's run of pairs listed in both orders, (i, j) then (j, i),
// grouped by the first star of each ordered pair (a counting sort, so each group
// keeps list order). A second copy with the large groups sorted serves membership.
class PairGroups {
public:
    // `index_limit`, when not 0, is a likely bound on the run's star indices (the
    // catalog's star count), which spares a pass to find it; a wrong one costs a pass.
    void build(std::span<const Pair> run, std::size_t index_limit = 0);
    // The run this side was built from, in pair-index order.
    std::span<const Pair> run() const { return run_; }
    // The second stars listed with `first`, in list order.
    std::span<const std::uint16_t> group(std::uint16_t first) const {
        if (std::size_t{first} + 1 >= start_.size()) return {};
        return {listed_.data() + start_[first], listed_.data() + start_[first + 1]};
    }
    // The second stars listed with `first`, groups larger than SMALL_GROUP sorted.
    std::span<const std::uint16_t> sorted_group(std::uint16_t first) const {
        if (std::size_t{first} + 1 >= start_.size()) return {};
        return {sorted_.data() + start_[first], sorted_.data() + start_[first + 1]};
    }
    // Whether (first, second) is listed.
    bool contains(std::uint16_t first, std::uint16_t second) const;
    // Bit (s mod 64) set for every second star s listed with `first`: two stars with
    // a common partner have masks that intersect.
    std::uint64_t partner_mask(std::uint16_t first) const { return first < masks_.size() ? masks_[first] : 0; }
    // Whether a group from sorted_group holds `second`: small groups are scanned,
    // larger ones bisected.
    static bool holds(std::span<const std::uint16_t> sorted_group, std::uint16_t second) {
        if (sorted_group.size() > SMALL_GROUP) {
            return std::binary_search(sorted_group.begin(), sorted_group.end(), second);
        }
        return std::find(sorted_group.begin(), sorted_group.end(), second) != sorted_group.end();
    }
    // Groups up to this size are scanned; larger ones are sorted and bisected.
    static constexpr std::size_t SMALL_GROUP = 8;

private:
    std::span<const Pair> run_;
    std::vector<std::uint32_t> start_;     // group offsets per first star, up to the largest index + 1
    std::vector<std::uint16_t> listed_;    // second stars, grouped, list order inside a group
    std::vector<std::uint16_t> sorted_;    // the same groups, large ones sorted for bisection
    std::vector<std::uint64_t> masks_;     // partner_mask per first star
    std::vector<std::uint16_t> large_;     // first stars of groups larger than SMALL_GROUP
};

// Reusable working storage for many triangle searches: each camera side's run
// grouped once (PairGroups), so the work follows the matches rather than
// |a-b run| x |b-c run|, and triangles sharing a side share its groups.
class TriangleSearch {
public:
    // Same result and order as triangle_hypotheses, appended to the cleared `out`.
    void run(std::span<const Vec3> cam_vecs, std::array<std::size_t, 3> abc, std::span<const Pair> pairs,
             double tolerance, std::vector<StarTriple>& out);

    // Groups the runs of every side among the first `n` camera vectors, once, for
    // run_prepared on triangles of those vectors.
    // `index_limit` as for PairGroups::build.
    void prepare(std::span<const Vec3> cam_vecs, std::size_t n, std::span<const Pair> pairs, double tolerance,
                 std::size_t index_limit = 0);
    // run() for a triangle a < b < c < n of the prepared vectors.
    void run_prepared(std::array<std::size_t, 3> abc, std::vector<StarTriple>& out) const;

private:
    const PairGroups& side(std::size_t a, std::size_t b) const { return sides_[a * n_ + b]; }
    static void extend_all(const PairGroups& ab, const PairGroups& ac, const PairGroups& bc,
                           std::vector<StarTriple>& out);

    std::array<PairGroups, 3> own_;     // sides a-b, a-c and b-c of run()
    std::vector<PairGroups> sides_;     // side (a, b), a < b, at a * n_ + b
    std::size_t n_ = 0;
};

struct MatchResult {
    std::vector<Correspondence> correspondences;  // ascending camera index, at least 4
    std::size_t margin = 0;                       // winner's count minus the rival count, floored at 0
};

// Whether `other` is the same identification as `lead`: every (camera, star) of
// lead finds its camera index in other, mapped to the same star or to one within
// the tolerance (dot of the catalog units > cos_tolerance). Both lists ascend by
// camera index.
bool same_identification(std::span<const Correspondence> lead, std::span<const Correspondence> other,
                         const Catalog& catalog, double cos_tolerance);

// Two distinct identifications of equal count that fit comparably well.
struct MatchTie {
    std::vector<Correspondence> list_a;  // the leader when the tie was recorded
    std::vector<Correspondence> list_b;  // the challenger
    double residual_a = 0.0;
    double residual_b = 0.0;
};

// The search state of the matcher: the leading candidate, the largest count
// credited to a rival, and the tie slot. Candidates are offered in search order.
class CandidateTally {
public:
    // A distinct rival of equal count wins (or loses) outright only when its
    // residual sum is below this fraction of the other's.
    static constexpr double CLEAR_WIN_RESIDUAL_RATIO = 0.7;

    // Compares a verified candidate (its count is list.size()) with the leader.
    // same_as_best(best, list) is consulted only when the counts are equal.
    template <class SameAsBest>
    void offer(std::span<const Correspondence> list, double residual_sum, SameAsBest&& same_as_best);

    bool has_best() const { return has_best_; }
    const std::vector<Correspondence>& best() const { return best_; }
    double best_residual() const { return best_residual_; }
    std::size_t rival_count() const { return rival_; }
    const std::optional<MatchTie>& tie() const { return tie_; }
    // The leader's count minus the rival count, floored at 0.
    std::size_t margin() const { return best_.size() > rival_ ? best_.size() - rival_ : 0; }
    // The least count whose offer can change the tally: with a leader of count M and
    // rival count r (r <= M), an offer of m < M only raises r to m, so one of
    // m <= min(r, M - 1) changes nothing; min(r + 1, M). 0 while there is no leader.
    std::size_t least_telling_count() const { return has_best_ ? std::min(rival_ + 1, best_.size()) : 0; }

    std::vector<Correspondence> take_best() { return std::move(best_); }
    MatchTie take_tie() { return std::move(*tie_); }

private:
    void lead_with(std::span<const Correspondence> list, double residual_sum) {
        best_.assign(list.begin(), list.end());
        best_residual_ = residual_sum;
        has_best_ = true;
    }

    bool has_best_ = false;
    std::vector<Correspondence> best_;
    double best_residual_ = 0.0;
    std::size_t rival_ = 0;
    std::optional<MatchTie> tie_;
};

template <class SameAsBest>
void CandidateTally::offer(std::span<const Correspondence> list, double residual_sum, SameAsBest&& same_as_best) {
    const std::size_t m = list.size();
    if (!has_best_) {
        lead_with(list, residual_sum);
        return;
    }
    const std::size_t lead = best_.size();
    if (m > lead) {
        rival_ = std::max(rival_, lead);
        tie_.reset();
        lead_with(list, residual_sum);
    } else if (m < lead) {
        rival_ = std::max(rival_, m);
    } else if (same_as_best(std::span<const Correspondence>(best_), list)) {
        if (residual_sum < best_residual_) lead_with(list, residual_sum);
    } else {
        rival_ = std::max(rival_, lead);
        if (residual_sum < CLEAR_WIN_RESIDUAL_RATIO * best_residual_) {
            tie_.reset();
            lead_with(list, residual_sum);
        } else if (!(best_residual_ < CLEAR_WIN_RESIDUAL_RATIO * residual_sum)) {
            tie_ = MatchTie{best_, std::vector<Correspondence>(list.begin(), list.end()), best_residual_,
                            residual_sum};
        }
        // Otherwise the challenger clearly fits worse and is dropped.
    }
}

// Identifies the camera directions (brightest first) against the catalog: triangles
// from the `triangle_stars` brightest, each catalog hypothesis solved for a rotation
// and verified greedily against every direction; the most correspondences win.
// Fails: InsufficientStars{4, n} below 4 directions; NoMatch when nothing verifies 4
// stars or the winner fails confidence_checks; MatchAmbiguous for an unresolved tie.
Result<MatchResult> match_stars(std::span<const Vec3> cam_vecs, const Catalog& catalog, std::size_t triangle_stars,
                                double tolerance);

// The chance test's probability: that m of n directions (a triangle's three and m - 3 of
// the other n - 3) land within the tolerance of some catalog star by chance alone, the
// tolerance caps of catalog_size stars covering the fraction K (1 - cos tolerance) / 2 of
// the sky. 1 when m < 3 or n < 3, 0 when m exceeds n.
double chance_probability(std::size_t m, std::size_t n, std::size_t catalog_size, double tolerance);

// Rejects an identification of m correspondences that chance alone would explain
// (binomial tail above 1 %) or that the mirror image of the directions matches as
// well. `grid` is the one match_stars built for this catalog and tolerance.
Status confidence_checks(std::size_t m, std::span<const Vec3> cam_vecs, const Catalog& catalog, const StarGrid& grid,
                         double tolerance, std::size_t triangle_stars);

}  // namespace stelvane
