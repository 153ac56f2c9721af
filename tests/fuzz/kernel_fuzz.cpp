// Random strips through the fill kernels and the mask building: random sizes,
// masks and values (NaN, infinities, huge, tiny and negative ones among them).
// Each kernel must not crash nor touch memory outside its arrays (run it in
// the sanitizer build for that), must write every sample of its outputs, and
// must keep the promises of its contract checked below.
//
//   pelvane_kernel_fuzz [--seed S] [--cases N] [--seconds T] [--first K]
//
// Case k draws everything from the seed S and k alone, so a failing case is
// rerun with --first k --cases 1. With --seconds the run ends after that
// time, or after N cases if N is given too.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "job/band_stack.h"
#include "job/edge_fill_stage.h"
#include "job/gap_masks.h"
#include "job/range_masker.h"
#include "regression/fallback_fill.h"
#include "regression/fill_alignment.h"
#include "regression/local_regression.h"
#include "regression/refine_fill.h"
#include "regression/regression_strip.h"
#include "regression/similar_pixels.h"
#include "regression/pixel_status.h"
#include "regression/regression_fill.h"
#include "regression/regression_fill_reference.h"
#include "solver/edge_interpolation.h"
#include "solver/hole_copies.h"
#include "solver/push_pull.h"
#include "solver/restore_options.h"
#include "solver/skewed_sweep.h"
#include "solver/tolvek_fill_strip.h"
#include "solver/tv_restore.h"

namespace pelvane {
namespace {

// A NaN no arithmetic makes from our inputs: a sample still holding it was never written.
const std::uint64_t UNWRITTEN_BITS = 0x7ff4dead0000beefULL;

double unwritten()
{
    double v;
    std::memcpy(&v, &UNWRITTEN_BITS, sizeof v);
    return v;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The fast kernels against the plain ones: the same bits, except that a NaN
// may carry another payload.
bool same_value(double a, double b) { return same_bits(a, b) || (std::isnan(a) && std::isnan(b)); }

class Random {
public:
    explicit Random(std::uint64_t seed) : engine_(seed) {}
    int between(int lo, int hi) { return lo + static_cast<int>(engine_() % static_cast<std::uint64_t>(hi - lo + 1)); }
    double unit() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }
    bool chance(double p) { return unit() < p; }
    template <class T, std::size_t N>
    T pick(const T (&values)[N]) { return values[static_cast<std::size_t>(between(0, N - 1))]; }

    // A sample: mostly an ordinary reflectance, now and then anything at all.
    double sample(double odd_share)
    {
        if (!chance(odd_share))
            return std::floor(unit() * 300.0);
        const double inf = std::numeric_limits<double>::infinity();
        const double odd[] = {std::numeric_limits<double>::quiet_NaN(), inf, -inf, 1e300, -1e300, 1e-300,
                              0.0, -0.0, 1e-6, 5e-7, 255.0, -7.5, -1000.0, 1e18, 0.5};
        return pick(odd);
    }

private:
    std::mt19937_64 engine_;
};

int failures = 0;

void fail(std::uint64_t seed, long long k, const char* what)
{
    if (++failures <= 20)
        std::fprintf(stderr, "case %lld (seed %llu): %s\n", k, static_cast<unsigned long long>(seed), what);
}

#define CHECK(condition, what)            \
    do {                                  \
        if (!(condition)) {               \
            fail(seed, k, what);          \
            return;                       \
        }                                 \
    } while (0)

struct Stack {
    std::vector<std::vector<double>> bands;
    std::vector<double*> pointers;
    Stack(int count, std::size_t pixels, double value) : bands(count, std::vector<double>(pixels, value))
    {
        for (auto& b : bands) pointers.push_back(b.data());
    }
    Stack(const Stack& other) : bands(other.bands)
    {
        for (auto& b : bands) pointers.push_back(b.data());
    }
};

int count_progress(double fraction, const char*, void* context)
{
    if (!(fraction >= 0.0 && fraction < 1.0))
        ++static_cast<long long*>(context)[1];
    return ++static_cast<long long*>(context)[0];
}

void count_message(const char*, void* context) { ++*static_cast<long long*>(context); }

// Stops the solver now and then, as a front end asking it to.
int stop_sometimes(int state, int iteration, double, const double*, int, int, int, void* user_data)
{
    const int stop_at = *static_cast<int*>(user_data);
    return state == 0 && stop_at >= 0 && iteration >= stop_at ? 0 : 1;
}

class SilentHost : public JobHost {
public:
    void show_message(const std::string&) override {}
    int set_progress_position(int position) override { return position; }
};

// The fill image's alignment: the shift searched within its range, the same
// whatever order the shifts are scored in, and the resampling leaving the
// gap pixels as they are and, from finite values, giving finite ones.
void fuzz_alignment(std::uint64_t seed, long long k, Random& r, const BandStack& target,
                    const std::vector<unsigned char>& target_mask, const BandStack& fill,
                    const std::vector<unsigned char>& fill_mask, int width, int rows)
{
    const int bands = target.band_count();
    const std::size_t pixels = fill_mask.size();
    const AlignmentStrip strip{target.bands(), target_mask.data(), fill.bands(), fill_mask.data(), bands, rows, width};
    const FillShift shift = estimate_fill_shift(strip);
    const FillShift backwards = estimate_fill_shift(strip, [](std::size_t count, const std::function<void(std::size_t)>& work) {
        for (std::size_t i = count; i-- > 0;) work(i);
    });
    CHECK(std::fabs(shift.dy) <= FILL_SHIFT_MAX && std::fabs(shift.dx) <= FILL_SHIFT_MAX,
          "estimate_fill_shift gave a shift out of its range");
    CHECK(same_bits(shift.dy, backwards.dy) && same_bits(shift.dx, backwards.dx),
          "estimate_fill_shift depends on the order its shifts are scored in");
    const FillShift tried = r.chance(0.5) ? shift : FillShift{r.pick({-1.75, -0.5, 0.125, 1.0}), r.pick({-0.25, 0.0, 0.625, 2.0})};
    Stack moved(bands, pixels, 0.0);
    bool finite = true;  // every valid pixel of the fill
    for (int b = 0; b < bands; ++b)
        for (std::size_t i = 0; i < pixels; ++i) {
            moved.bands[b][i] = fill.band(b)[i];
            finite = finite && (fill_mask[i] || std::isfinite(fill.band(b)[i]));
        }
    shift_fill(moved.pointers.data(), fill_mask.data(), bands, rows, width, tried);
    for (int b = 0; b < bands; ++b)
        for (std::size_t i = 0; i < pixels; ++i) {
            CHECK(!fill_mask[i] || same_bits(moved.bands[b][i], fill.band(b)[i]), "shift_fill changed a gap pixel");
            CHECK(fill_mask[i] || !finite || std::isfinite(moved.bands[b][i]), "shift_fill gave a value that is not finite");
            CHECK(!tried.none() || same_bits(moved.bands[b][i], fill.band(b)[i]), "shift_fill moved a fill without a shift");
        }
}

// The refined fill's kernels for the pixels missing in both images: push-pull,
// the edge interpolation's model, the hole copies, and the stage that runs
// them with the interpolation itself, on 1 and 2 threads.
void fuzz_refined_stages(std::uint64_t seed, long long k, Random& r, const Stack& filled,
                         const std::vector<unsigned char>& target_mask,
                         const std::vector<unsigned char>& remaining, int width, int rows)
{
    const int bands = static_cast<int>(filled.bands.size());
    const std::size_t pixels = remaining.size();
    const std::size_t known = static_cast<std::size_t>(std::count(remaining.begin(), remaining.end(), 0));
    bool finite = true;  // every pixel that is no hole
    for (int b = 0; b < bands; ++b)
        for (std::size_t i = 0; i < pixels; ++i) finite = finite && (remaining[i] || std::isfinite(filled.bands[b][i]));
    for (int b = 0; b < bands; ++b) {
        std::vector<double> band = filled.bands[b];
        push_pull_fill(band.data(), remaining.data(), width, rows);
        for (std::size_t i = 0; i < pixels; ++i) {
            CHECK(remaining[i] || same_bits(band[i], filled.bands[b][i]), "push_pull_fill changed a pixel that is no gap");
            CHECK(!remaining[i] || !finite || known == 0 || std::isfinite(band[i]), "push_pull_fill left a gap not finite");
        }
    }
    const EdgeModel model = fit_edge_model(filled.pointers.data(), bands, remaining.data(), width, rows, r.between(1, 5));
    CHECK(model.nugget >= 0.0 && model.range > 0.0, "fit_edge_model gave a model out of its range");
    std::vector<unsigned char> sites(pixels), copies(pixels, 0xEE);
    for (std::size_t i = 0; i < pixels; ++i) sites[i] = target_mask[i] == 0 && r.chance(0.9);
    const std::size_t budget = r.pick({std::size_t{0}, std::size_t{5}, std::size_t{100000}});
    const std::size_t placed = place_hole_copies(remaining.data(), sites.data(), width, rows, budget, copies.data());
    std::size_t marked = 0;
    for (std::size_t i = 0; i < pixels; ++i) {
        CHECK(copies[i] <= 1, "place_hole_copies left a byte unwritten");
        marked += copies[i];
        CHECK(!copies[i] || sites[i], "place_hole_copies put a copy off the sites");
        const int y = static_cast<int>(i) / width, x = static_cast<int>(i) % width;
        for (int yy = std::max(y - 1, 0); copies[i] && yy <= std::min(y + 1, rows - 1); ++yy)
            for (int xx = std::max(x - 1, 0); xx <= std::min(x + 1, width - 1); ++xx)
                CHECK(!remaining[static_cast<std::size_t>(yy) * width + xx], "place_hole_copies put a copy next to a hole");
    }
    CHECK(marked == placed && placed <= budget, "place_hole_copies counted its copies wrong");
    std::vector<BandStack> out, error;
    for (int threads : {1, 2}) {
        out.emplace_back(bands, pixels);
        error.emplace_back(bands, pixels);
        for (int b = 0; b < bands; ++b) std::copy(filled.bands[b].begin(), filled.bands[b].end(), out.back().band(b));
        SilentHost host;
        WorkerPool pool(threads);
        CHECK(run_edge_fill_stage(pool, host, {out.back(), remaining.data(), width, rows, &error.back(), sites.data()}).done(),
              "run_edge_fill_stage stopped unasked");
    }
    for (int b = 0; b < bands; ++b)
        for (std::size_t i = 0; i < pixels; ++i) {
            CHECK(same_bits(out[0].band(b)[i], out[1].band(b)[i]) && same_bits(error[0].band(b)[i], error[1].band(b)[i]),
                  "run_edge_fill_stage differs between 1 and 2 threads");
            CHECK(remaining[i] || (same_bits(out[0].band(b)[i], filled.bands[b][i]) && error[0].band(b)[i] == 0.0),
                  "run_edge_fill_stage changed a pixel that is no hole");
            CHECK(!remaining[i] || !finite || known == 0 || (std::isfinite(out[0].band(b)[i]) && error[0].band(b)[i] >= 0.0),
                  "run_edge_fill_stage left a hole without a finite value and error");
        }
}

// The masks and the strips' fill stages, as the job runs them, with checks.
void fuzz_strip(std::uint64_t seed, long long k, Random& r)
{
    // Six bands too: the refined fill's kernels have vector forms for six.
    const int bands = r.chance(0.2) ? 6 : r.between(1, 4);
    const int width = r.chance(0.1) ? r.between(1, 3) : r.between(1, 48);
    const int rows = r.chance(0.1) ? r.between(1, 3) : r.between(1, 48);
    const std::size_t pixels = static_cast<std::size_t>(width) * rows;
    const double odd_share = r.pick({0.0, 0.01, 0.1, 0.5});

    BandStack target(bands, pixels), fill(bands, pixels);
    for (int b = 0; b < bands; ++b)
        for (std::size_t i = 0; i < pixels; ++i) {
            target.band(b)[i] = r.sample(odd_share);
            fill.band(b)[i] = r.sample(odd_share);
        }

    // Masks: as the job builds them (non-finite samples, then a range), or random.
    std::vector<unsigned char> target_mask(pixels, 0), fill_mask(pixels, 0);
    if (r.chance(0.5)) {
        std::vector<double> before = {target.band(0), target.band(0) + pixels};
        clear_non_finite(target, target_mask.data());
        clear_non_finite(fill, fill_mask.data());
        for (std::size_t i = 0; i < pixels; ++i) {
            CHECK(std::isfinite(target.band(0)[i]), "clear_non_finite left a sample that is not finite");
            CHECK(std::isfinite(before[i]) || target_mask[i] == 1, "clear_non_finite did not mark a pixel");
        }
        const double lo = r.pick({1.0, 0.0, -1e300, 200.0, std::numeric_limits<double>::quiet_NaN()});
        const double hi = r.pick({255.0, 100.0, 1e300, std::numeric_limits<double>::infinity()});
        const std::vector<unsigned char> old = target_mask;
        build_range_gap_masks(RangeMasker(), target, fill, target_mask.data(), fill_mask.data(), lo, hi);
        for (std::size_t i = 0; i < pixels; ++i) {
            bool out = old[i] != 0;
            for (int b = 0; b < bands; ++b) out = out || target.band(b)[i] < lo || target.band(b)[i] > hi;
            CHECK(target_mask[i] == (out ? 1 : 0), "mark_out_of_range marked the wrong pixels");
        }
    } else {
        const double target_density = r.pick({0.0, 0.1, 0.5, 0.9, 1.0});
        const double fill_density = r.pick({0.0, 0.1, 0.5, 0.9, 1.0});
        for (std::size_t i = 0; i < pixels; ++i) {
            target_mask[i] = r.chance(target_density);
            fill_mask[i] = r.chance(fill_density);
        }
    }

    fuzz_alignment(seed, k, r, target, target_mask, fill, fill_mask, width, rows);

    // Sarnic, whole strip and in row ranges.
    const int similar = r.pick({30, 0, -5, 1, 2, 100000});
    Stack filled(bands, pixels, unwritten());
    std::vector<unsigned char> status(pixels, 0xEE);
    long long progress[2] = {0, 0};
    regression_fill(target.bands(), fill.bands(), target_mask.data(), fill_mask.data(), bands, rows, width,
                    filled.pointers.data(), status.data(), 0.5, similar, count_progress, progress);
    CHECK(progress[0] == static_cast<long long>(pixels) && progress[1] == 0,
          "regression_fill did not report each pixel once with a fraction in [0, 1)");
    for (std::size_t i = 0; i < pixels; ++i) {
        CHECK(status[i] <= PIXEL_BOTH_MISSING, "regression_fill left a status unwritten");
        const bool copied = target_mask[i] == 0 || fill_mask[i] != 0;
        CHECK(copied == (status[i] == PIXEL_VALID || status[i] == PIXEL_BOTH_MISSING), "a status does not match the masks");
        for (int b = 0; b < bands; ++b) {
            CHECK(!same_bits(filled.bands[b][i], unwritten()), "regression_fill left a sample unwritten");
            CHECK(!copied || same_bits(filled.bands[b][i], target.band(b)[i]), "a copied pixel differs from the target");
        }
    }
    Stack plain(bands, pixels, unwritten());
    std::vector<unsigned char> plain_status(pixels, 0xEE);
    regression_fill_reference(target.bands(), fill.bands(), target_mask.data(), fill_mask.data(), bands, rows,
                              width, plain.pointers.data(), plain_status.data(), 0.5, similar, nullptr, nullptr);
    CHECK(plain_status == status, "regression_fill and its reference give other status codes");
    for (int b = 0; b < bands; ++b)
        for (std::size_t i = 0; i < pixels; ++i)
            CHECK(same_value(plain.bands[b][i], filled.bands[b][i]), "regression_fill and its reference differ");
    Stack in_parts(bands, pixels, unwritten());
    std::vector<unsigned char> status_in_parts(pixels, 0xEE);
    for (int first = 0; first < rows;) {
        const int last = std::min(rows, first + r.between(1, rows));
        regression_fill_rows(target.bands(), fill.bands(), target_mask.data(), fill_mask.data(), bands, rows, width,
                             in_parts.pointers.data(), status_in_parts.data(), 0.5, similar, first, last);
        first = last;
    }
    CHECK(status_in_parts == status, "regression_fill_rows gives other status codes");
    for (int b = 0; b < bands; ++b)
        for (std::size_t i = 0; i < pixels; ++i)
            CHECK(same_bits(in_parts.bands[b][i], filled.bands[b][i]), "regression_fill_rows gives other values");
    // A shorter search (the refined fill's), its strip prepared in pieces
    // taken last to first: the full search's status codes everywhere, its
    // values wherever the code is not a similar fit.
    {
        const int most = std::min(similar, r.between(2, 20));
        const RegressionStrip::Reach reach{most, r.pick({3, 5, 11, 15}), std::min(similar, r.between(2, std::max(most, 2)))};
        const RegressionStrip shorter(target.bands(), fill.bands(), target_mask.data(), fill_mask.data(), bands, rows,
                                      width, 0.5, similar, [](std::size_t count, const std::function<void(std::size_t)>& work) {
                                          for (std::size_t i = count; i-- > 0;) work(i);
                                      });
        Stack short_filled(bands, pixels, unwritten());
        std::vector<unsigned char> short_status(pixels, 0xEE);
        shorter.fill_rows(0, rows, short_filled.pointers.data(), short_status.data(), reach);
        CHECK(short_status == status, "a shorter similar search gives other status codes");
        for (int b = 0; b < bands; ++b)
            for (std::size_t i = 0; i < pixels; ++i)
                CHECK(status[i] == PIXEL_SIMILAR_FIT || same_bits(short_filled.bands[b][i], filled.bands[b][i]),
                      "a shorter similar search changed a pixel it does not fit");
    }

    // The refinement: the similar search against its reference, then the
    // combination whole and in row ranges, which change the predicted pixels only.
    {
        std::vector<unsigned char> residual(pixels), both_valid(pixels), select(pixels);
        mark_residual_pixels(status.data(), target_mask.data(), fill_mask.data(), rows, width, residual.data());
        for (std::size_t i = 0; i < pixels; ++i) {
            both_valid[i] = target_mask[i] == 0 && fill_mask[i] == 0;
            select[i] = residual[i] != 0 || (status[i] >= PIXEL_SIMILAR_FIT && status[i] <= PIXEL_RATIO_FIT);
        }
        const std::vector<float> scaled = similar_scaled_fill(fill.bands(), both_valid.data(), bands, pixels);
        const SimilarSearch search{target.bands(), fill.bands(), both_valid.data(), scaled.data(),
                                   bands, rows, width, similar};
        SimilarScratch work;
        for (int t = 0; t < 4; ++t) {
            const int row = r.between(0, rows - 1), col = r.between(0, width - 1), exclude = r.between(1, 3);
            double a[8], b[8], c[8], d[8];
            const int n = similar_predict(search, row, col, exclude, work, a, b);
            CHECK(n == similar_predict_reference(search, row, col, exclude, c, d), "similar_predict and its reference take other counts");
            for (int band = 0; band < bands && n > 0; ++band)
                CHECK(same_value(a[band], c[band]) && same_value(b[band], d[band]), "similar_predict and its reference differ");
            // The local plane: the same candidates as its reference; the
            // values agree where the sums stay finite (they may overflow
            // with the huge values drawn).
            LocalScratch local;
            const int m = local_regression_predict(search, row, col, exclude, local, a);
            const int m_ref = local_regression_reference(search, row, col, exclude, c);
            CHECK(m == 0 || m == m_ref, "local_regression_predict and its reference take other counts");
            for (int band = 0; band < bands && m > 0; ++band)
                CHECK(std::isfinite(a[band]), "local_regression_predict gave a value that is not finite");
        }
        Stack loo(bands, pixels, unwritten()), predictions((PREDICTOR_COUNT - 1) * bands, pixels, unwritten());
        const EdgeInterpolator interpolator(
            fit_edge_model(target.bands(), bands, target_mask.data(), width, rows, r.between(1, 5)));
        const NeighbourWeights kriging = [&](const unsigned char* gap, std::size_t pos, int exclude,
                                             std::size_t* at, double* weight) {
            return interpolator.weights(gap, width, rows, pos, exclude, REFINE_OCTANT_QUOTA, at, weight);
        };
        const RegressionStrip strip(target.bands(), fill.bands(), target_mask.data(), fill_mask.data(), bands, rows,
                                    width, 0.5, similar);
        strip.predict_rows(0, rows, residual.data(), loo.pointers.data());
        // The local plane drawn toward the wide plane's slopes, these made in
        // block rows of random lengths: the same as in one go.
        const int block_rows = wide_blocks(rows), blocks = block_rows * wide_blocks(width);
        std::vector<double> sums(blocks * wide_sums_size(bands)), slopes(blocks * bands * bands), once(slopes);
        wide_plane_sums(search, 0, block_rows, sums.data());
        wide_plane_slopes(search, sums.data(), 0, block_rows, once.data());
        for (int first = 0, last = 0; first < block_rows; first = last) {
            last = std::min(block_rows, first + r.between(1, block_rows));
            wide_plane_slopes(search, sums.data(), first, last, slopes.data());
        }
        CHECK(std::equal(slopes.begin(), slopes.end(), once.begin(), same_value), "wide_plane_slopes in block rows differs");
        predict_refined_rows(search, target_mask.data(), kriging, select.data(), 0, rows, predictions.pointers.data(),
                             nullptr, slopes.data());
        const RefineInputs in{target.bands(), target_mask.data(), residual.data(), loo.pointers.data(),
                              predictions.pointers.data(), &search, &kriging, bands, rows, width, slopes.data()};
        const RefineModel model = calibrate_refinement(in);
        // The calibration in steps, its chunks visited and its tables made
        // last to first: the same model.
        {
            CalibrationSamples samples = calibration_samples(in);
            for (std::size_t chunk = samples.chunks(); chunk-- > 0;) visit_samples(in, samples, chunk);
            const RefineModel stepped = calibrate_refinement(
                in, samples, [](std::size_t count, const std::function<void(std::size_t)>& work) {
                    for (std::size_t i = count; i-- > 0;) work(i);
                });
            for (const auto& [a, b] : {std::pair{&model.carry, &stepped.carry}, std::pair{&model.growth, &stepped.growth},
                                      std::pair{&model.error_scale, &stepped.error_scale},
                                      std::pair{&model.error_line, &stepped.error_line},
                                      std::pair{&model.spectral_carry, &stepped.spectral_carry}})
                CHECK(std::equal(a->begin(), a->end(), b->begin(), b->end(), same_value),
                      "calibrate_refinement in steps gives another model");
            // The spectral neighbours through the table's own copy of the
            // fill: the same neighbours, the same means and mean squares.
            ResidualTable copied = model.corrected;
            index_residual_fill(copied, search);
            const int values = model.corrected.count;
            std::vector<double> mean(2 * values), square(2 * values);
            std::vector<std::pair<double, std::size_t>> scratch;
            for (int t = 0; t < 4 && values > 0; ++t) {
                const int row = r.between(0, rows - 1), col = r.between(0, width - 1), exclude = r.between(1, 3);
                const int n = spectral_residual_mean(search, model.corrected, row, col, exclude, scratch, mean.data(),
                                                     square.data());
                CHECK(n == spectral_residual_mean(search, copied, row, col, exclude, scratch, mean.data() + values,
                                                  square.data() + values),
                      "spectral_residual_mean through the fill's copy takes other neighbours");
                for (int v = 0; v < values; ++v)
                    CHECK(same_value(mean[v], mean[values + v]) && same_value(square[v], square[values + v]),
                          "spectral_residual_mean through the fill's copy gives other means");
            }
        }
        Stack refined = filled, in_rows = filled, error(bands, pixels, unwritten());
        std::vector<unsigned char> refined_status = status, rows_status = status;
        refine_rows(model, in, 0, rows, refined.pointers.data(), error.pointers.data(), refined_status.data(), 7);
        for (int first = 0; first < rows;) {
            const int last = std::min(rows, first + r.between(1, rows));
            refine_rows(model, in, first, last, in_rows.pointers.data(), nullptr, rows_status.data(), 7);
            first = last;
        }
        CHECK(rows_status == refined_status, "refine_rows in row ranges gives other status codes");
        for (int b = 0; b < bands; ++b)
            for (std::size_t i = 0; i < pixels; ++i) {
                const bool predicted = status[i] >= PIXEL_SIMILAR_FIT && status[i] <= PIXEL_RATIO_FIT;
                CHECK(same_value(in_rows.bands[b][i], refined.bands[b][i]), "refine_rows in row ranges gives other values");
                CHECK(predicted || (same_bits(refined.bands[b][i], filled.bands[b][i]) && refined_status[i] == status[i]),
                      "refine_rows changed a pixel it must leave");
                CHECK(predicted == !same_bits(error.bands[b][i], unwritten()), "refine_rows wrote the error elsewhere than at the predicted pixels");
            }
        // The kernels held to a narrower form (plain or AVX2): the same
        // predictions, model, values, codes and errors (a NaN's sign may
        // differ: the vector and scalar forms make it from other operands).
        limit_kernel_level(r.chance(0.5) ? KernelLevel::PLAIN : KernelLevel::AVX2);
        limit_edge_simd_path(SIMD_GENERIC);
        Stack narrow_predictions((PREDICTOR_COUNT - 1) * bands, pixels, unwritten());
        predict_refined_rows(search, target_mask.data(), kriging, select.data(), 0, rows,
                             narrow_predictions.pointers.data(), nullptr, slopes.data());
        RefineInputs narrow_in = in;
        narrow_in.predictions = narrow_predictions.pointers.data();
        const RefineModel narrow_model = calibrate_refinement(narrow_in);
        Stack narrow = filled, narrow_error(bands, pixels, unwritten());
        std::vector<unsigned char> narrow_status = status;
        refine_rows(narrow_model, narrow_in, 0, rows, narrow.pointers.data(), narrow_error.pointers.data(),
                    narrow_status.data(), 7);
        limit_kernel_level(KernelLevel::AVX512);
        limit_edge_simd_path(SIMD_AVX512);
        CHECK(narrow_status == refined_status, "the narrower kernels give other status codes");
        for (int b = 0; b < (PREDICTOR_COUNT - 1) * bands; ++b)
            CHECK(std::equal(narrow_predictions.bands[b].begin(), narrow_predictions.bands[b].end(),
                             predictions.bands[b].begin(), same_value),
                  "the narrower kernels give other predictions");
        for (int b = 0; b < bands; ++b)
            CHECK(std::equal(narrow.bands[b].begin(), narrow.bands[b].end(), refined.bands[b].begin(), same_value) &&
                      std::equal(narrow_error.bands[b].begin(), narrow_error.bands[b].end(),
                                 error.bands[b].begin(), same_value),
                  "the narrower kernels give other values or errors");
    }

    // The fallback changes pixels missing in both images only.
    const Stack before_fallback = filled;
    long long messages = 0;
    fallback_fill(filled.pointers.data(), fill.bands(), status.data(), bands, rows, width, count_message, &messages);
    for (int b = 0; b < bands; ++b)
        for (std::size_t i = 0; i < pixels; ++i)
            CHECK(status[i] == PIXEL_BOTH_MISSING || same_bits(filled.bands[b][i], before_fallback.bands[b][i]),
                  "fallback_fill changed a pixel it must leave");

    // Tolvek on what remains.
    std::vector<unsigned char> remaining = target_mask;
    combine_gap_masks(remaining.data(), fill_mask.data(), pixels);
    bool any = false;
    for (std::size_t i = 0; i < pixels; ++i) {
        CHECK(remaining[i] == (target_mask[i] && fill_mask[i] ? 1 : 0), "combine_gap_masks is wrong");
        any = any || remaining[i];
    }
    CHECK(has_remaining_gap(remaining.data(), pixels) == any, "has_remaining_gap is wrong");

    fuzz_refined_stages(seed, k, r, filled, target_mask, remaining, width, rows);

    TolvekParams params;
    params.regularization = r.pick({1000.0, 1.0, 0.0, -1.0, 1e300});
    params.max_iterations = r.pick({0, -2, 1, 5, 20, 40});
    params.tolerance = r.pick({0.001, 0.0});
    int stop_at = r.pick({-1, -1, 0, 3});
    params.progress = stop_sometimes;
    params.progress_user_data = &stop_at;
    const Stack before_tolvek = filled;
    Stack scratch(bands, pixels, unwritten());
    tolvek_fill_strip(filled.pointers.data(), scratch.pointers.data(), remaining.data(), width, rows, bands, params);
    for (int b = 0; b < bands; ++b) {
        bool held_finite = true;  // every pixel that is no remaining gap is finite
        for (std::size_t i = 0; i < pixels; ++i)
            held_finite = held_finite && (remaining[i] || std::isfinite(before_tolvek.bands[b][i]));
        for (std::size_t i = 0; i < pixels; ++i) {
            const double v = filled.bands[b][i];
            CHECK(!same_bits(v, unwritten()), "tolvek_fill_strip left a sample unwritten");
            CHECK(remaining[i] || params.regularization <= 0.0 || same_bits(v, before_tolvek.bands[b][i]),
                  "tolvek_fill_strip changed a pixel that is no gap");
            CHECK(!any || !held_finite || !remaining[i] || std::isfinite(v),
                  "tolvek_fill_strip filled a gap with a value that is not finite");
        }
    }
}

// The solver alone, with every noise model, maps that fit or do not, several channels.
void fuzz_solver(std::uint64_t seed, long long k, Random& r)
{
    const int width = r.between(1, 24), height = r.between(1, 24), channels = r.between(1, 3);
    const std::size_t n = static_cast<std::size_t>(width) * height * channels;
    const double odd_share = r.pick({0.0, 0.01, 0.2});
    std::vector<double> f(n), u(n), map(static_cast<std::size_t>(width + 1) * (height + 1));
    for (double& v : f) v = r.sample(odd_share) / 300.0;
    for (double& v : map) v = r.pick({0.0, 1000.0, 1.0, -1.0, 1e300});
    u = f;
    RestoreOptions* options = restore_options_new();
    CHECK(options != nullptr, "restore_options_new failed");
    restore_options_set_noise_model(options, r.pick({"L1", "L2", "Poisson", "no such model"}));
    restore_options_set_max_iter(options, r.pick({0, 1, 10, 30}));
    restore_options_set_tol(options, r.pick({0.001, 0.0}));
    const bool fits = r.chance(0.8);
    if (r.chance(0.7))
        restore_options_set_lambda_map(options, map.data(), fits ? width : width + 1, height);
    int stop_at = r.pick({-1, 2});
    restore_options_set_progress(options, stop_sometimes, &stop_at);
    const std::vector<double> start = u;
    const int result = tv_restore(u.data(), f.data(), width, height, channels, options);
    std::vector<double> plain = start;
    const int plain_result = tv_restore_reference(plain.data(), f.data(), width, height, channels, options);
    restore_options_free(options);
    CHECK(result >= 0 && result <= 2, "tv_restore returned an unknown code");
    CHECK(result == plain_result, "tv_restore and its reference return other codes");
    for (std::size_t i = 0; i < n; ++i) CHECK(same_value(u[i], plain[i]), "tv_restore and its reference differ");
    if (result == 0)
        for (std::size_t i = 0; i < n; ++i) CHECK(same_bits(u[i], start[i]), "a failed tv_restore changed u");
}

}  // namespace
}  // namespace pelvane

int main(int argc, char** argv)
{
    unsigned long long seed = 1;
    long long cases = -1, first = 0;
    double seconds = 0.0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--seed") seed = std::strtoull(argv[i + 1], nullptr, 10);
        else if (name == "--cases") cases = std::atoll(argv[i + 1]);
        else if (name == "--seconds") seconds = std::atof(argv[i + 1]);
        else if (name == "--first") first = std::atoll(argv[i + 1]);
        else {
            std::fprintf(stderr, "usage: %s [--seed S] [--cases N] [--seconds T] [--first K]\n", argv[0]);
            return 2;
        }
    }
    if (cases < 0 && seconds <= 0.0)
        cases = 200;
    const auto start = std::chrono::steady_clock::now();
    const auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    long long k = first;
    for (; (cases < 0 || k < first + cases) && (seconds <= 0.0 || elapsed() < seconds); ++k) {
        pelvane::Random r(seed * 1000003ULL + static_cast<unsigned long long>(k));
        pelvane::fuzz_strip(seed, k, r);
        pelvane::fuzz_solver(seed, k, r);
    }
    std::printf("%lld cases from %lld, seed %llu, %.1f s: %d failures\n", k - first, first, seed, elapsed(),
                pelvane::failures);
    return pelvane::failures == 0 ? 0 : 1;
}
