// The fast regression (regression_fill, regression_fill_rows, and
// RegressionStrip over row chunks, on two threads and in predict_rows) against
// regression_fill_reference, bit for bit (also when the strip is prepared in
// pieces out of order), on striped random strips and on the
// olinda scene.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "regression/pixel_status.h"
#include "regression/regression_fill.h"
#include "regression/regression_fill_reference.h"
#include "regression/regression_strip.h"
#include "support/test_rasters.h"

namespace pelvane {
namespace {

struct Inputs {
    int rows, width, bands;
    std::vector<std::vector<double>> target, fill;
    std::vector<unsigned char> target_mask, fill_mask;
};

struct Outputs {
    std::vector<std::vector<double>> filled;
    std::vector<unsigned char> status;
};

enum class Values { Bytes, Coarse, Reals, Mixed, Odd };

// Tilted scan-line stripes of missing pixels in both images (different
// period and phase), a few scattered gaps, and a field that changes slowly
// with some noise. Bytes: whole values 1..255; Coarse: multiples of 5, so
// differences equal the tolerance often; Reals: fractional values; Mixed:
// whole bytes in even bands, reals in odd ones, and -0.0 at a few pixels of
// band 2; the target likewise (whole in Bytes and in Mixed's even bands,
// -0.0 and 300 at a few pixels of bands 2 and 4); Odd: reals with negative
// values, NaN and infinities here and there.
Inputs striped(int rows, int width, int bands, Values values, double gap_share, unsigned seed)
{
    Inputs s{rows, width, bands, {}, {}, {}, {}};
    const std::size_t n = static_cast<std::size_t>(rows) * width;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double period = 6.0 + 20.0 * u(rng), tilt = 0.1 * u(rng);
    s.target.assign(bands, std::vector<double>(n));
    s.fill.assign(bands, std::vector<double>(n));
    s.target_mask.assign(n, 0);
    s.fill_mask.assign(n, 0);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < width; ++c) {
            const std::size_t i = static_cast<std::size_t>(r) * width + c;
            auto stripe = [&](double phase) {
                const double t = std::fmod(r + tilt * c + phase, period);
                return t < gap_share * period;
            };
            s.target_mask[i] = stripe(0.0) || u(rng) < 0.02;
            s.fill_mask[i] = stripe(0.4 * period) || u(rng) < 0.02;
            for (int b = 0; b < bands; ++b) {
                double x = 90.0 + 40.0 * std::sin(0.09 * c + b) * std::cos(0.13 * r) + 8.0 * u(rng);
                if (values == Values::Bytes || (values == Values::Mixed && b % 2 == 0))
                    x = std::round(x);
                if (values == Values::Mixed && b == 2 && u(rng) < 0.01) x = -0.0;
                if (values == Values::Coarse) x = 5.0 * std::round(x / 5.0);
                if (values == Values::Odd) {
                    x = x * 3.7 - 200.0;
                    const double pick = u(rng);
                    if (pick < 0.003) x = NAN;
                    else if (pick < 0.006) x = pick < 0.0045 ? INFINITY : -INFINITY;
                }
                s.fill[b][i] = x;
                double y = 0.8 * x + 10.0 + 4.0 * u(rng);
                // Target bytes beside fill bytes; -0.0 and 300 keep bands 2
                // and 4 of Mixed off the target's byte path.
                if (values == Values::Bytes || (values == Values::Mixed && b % 2 == 0))
                    y = std::round(y);
                if (values == Values::Mixed && (b == 2 || b == 4) && u(rng) < 0.01)
                    y = b == 2 ? -0.0 : 300.0;
                s.target[b][i] = y;
            }
        }
    return s;
}

Outputs blank(const Inputs& s)
{
    const std::size_t n = static_cast<std::size_t>(s.rows) * s.width;
    return {std::vector<std::vector<double>>(s.bands, std::vector<double>(n, -7.0)),
            std::vector<unsigned char>(n, 0xEE)};
}

std::vector<double*> out_pointers(Outputs& o)
{
    std::vector<double*> p;
    for (auto& b : o.filled) p.push_back(b.data());
    return p;
}

std::vector<const double*> in_pointers(const std::vector<std::vector<double>>& bands)
{
    std::vector<const double*> p;
    for (const auto& b : bands) p.push_back(b.data());
    return p;
}

// Every status byte and every sample the same, bit for bit; the first
// difference is reported.
void expect_same(const Outputs& got, const Outputs& want, const std::string& what)
{
    for (std::size_t i = 0; i < want.status.size(); ++i) {
        if (got.status[i] != want.status[i]) {
            ADD_FAILURE() << what << ": status at pixel " << i << ": "
                          << int(got.status[i]) << " != " << int(want.status[i]);
            return;
        }
        for (std::size_t b = 0; b < want.filled.size(); ++b)
            if (std::memcmp(&got.filled[b][i], &want.filled[b][i], sizeof(double)) != 0) {
                ADD_FAILURE() << what << ": band " << b << " at pixel " << i << ": "
                              << got.filled[b][i] << " != " << want.filled[b][i];
                return;
            }
    }
}

// predict_rows at every gap pixel the regression fills and at a few pixels
// valid in both images equals the reference with that pixel's target
// masked (so it is not its own candidate); it writes nothing else.
void check_predict_rows(const Inputs& s, int count, const Outputs& want)
{
    const auto t = in_pointers(s.target), f = in_pointers(s.fill);
    const RegressionStrip strip(t.data(), f.data(), s.target_mask.data(), s.fill_mask.data(),
                                s.bands, s.rows, s.width, 0.5, count);
    const std::size_t n = static_cast<std::size_t>(s.rows) * s.width;
    std::vector<unsigned char> select(n, 0);
    std::vector<std::size_t> left_out;  // valid in both, predicted as if a gap
    for (std::size_t i = 0; i < n; ++i) {
        if (s.fill_mask[i] != 0) continue;
        select[i] = s.target_mask[i] != 0 || i % 97 == 5;
        if (s.target_mask[i] == 0 && select[i]) left_out.push_back(i);
    }
    Outputs got = blank(s), expected = blank(s);
    auto g = out_pointers(got);
    strip.predict_rows(s.rows / 2, s.rows, select.data(), g.data());
    strip.predict_rows(0, s.rows / 2, select.data(), g.data());
    for (std::size_t i = 0; i < n; ++i)
        for (int b = 0; b < s.bands; ++b)
            if (select[i] != 0 && s.target_mask[i] != 0) expected.filled[b][i] = want.filled[b][i];
    for (const std::size_t i : left_out) {
        std::vector<unsigned char> masked = s.target_mask;
        masked[i] = 1;
        Outputs one = blank(s);
        auto o = out_pointers(one);
        regression_fill_reference(t.data(), f.data(), masked.data(), s.fill_mask.data(), s.bands,
                                  s.rows, s.width, o.data(), one.status.data(), 0.5, count,
                                  nullptr, nullptr);
        for (int b = 0; b < s.bands; ++b) expected.filled[b][i] = one.filled[b][i];
    }
    got.status = expected.status;  // predict_rows writes no status
    expect_same(got, expected, "predict_rows");
}

// Every fast entry point, over several row splits, equals the reference.
void check_all_paths(const Inputs& s, int count)
{
    const auto t = in_pointers(s.target), f = in_pointers(s.fill);
    Outputs want = blank(s);
    auto w = out_pointers(want);
    regression_fill_reference(t.data(), f.data(), s.target_mask.data(), s.fill_mask.data(), s.bands,
                              s.rows, s.width, w.data(), want.status.data(), 0.5, count, nullptr,
                              nullptr);

    Outputs whole = blank(s);
    auto o = out_pointers(whole);
    regression_fill(t.data(), f.data(), s.target_mask.data(), s.fill_mask.data(), s.bands, s.rows,
                    s.width, o.data(), whole.status.data(), 0.5, count, nullptr, nullptr);
    expect_same(whole, want, "regression_fill");

    const RegressionStrip strip(t.data(), f.data(), s.target_mask.data(), s.fill_mask.data(),
                                s.bands, s.rows, s.width, 0.5, count);
    // Chunk sizes, repeated until the strip is covered; filled last to first.
    const std::vector<std::vector<int>> splits = {{1}, {3, 1, 5}, {7, 2}, {1000}};
    for (const auto& sizes : splits) {
        std::vector<std::pair<int, int>> chunks;
        for (int r = 0, k = 0; r < s.rows; r += sizes[k++ % sizes.size()])
            chunks.push_back({r, std::min(s.rows, r + sizes[k % sizes.size()])});
        Outputs rows = blank(s);
        auto p = out_pointers(rows);
        for (auto it = chunks.rbegin(); it != chunks.rend(); ++it)
            strip.fill_rows(it->first, it->second, p.data(), rows.status.data());
        expect_same(rows, want, "fill_rows, first chunk " + std::to_string(sizes[0]));
    }

    // Two threads on alternate chunks of 5 rows.
    Outputs shared = blank(s);
    auto z = out_pointers(shared);
    auto worker = [&](int first) {
        for (int r = first; r < s.rows; r += 10)
            strip.fill_rows(r, r + 5, z.data(), shared.status.data());
    };
    std::thread other(worker, 5);
    worker(0);
    other.join();
    expect_same(shared, want, "fill_rows on two threads");

    // Prepared in pieces of rows taken last to first: the same strip.
    const RegressionStrip pieces(t.data(), f.data(), s.target_mask.data(), s.fill_mask.data(), s.bands,
                                 s.rows, s.width, 0.5, count,
                                 [](std::size_t n, const std::function<void(std::size_t)>& work) {
                                     for (std::size_t i = n; i-- > 0;) work(i);
                                 });
    Outputs reversed = blank(s);
    auto v = out_pointers(reversed);
    pieces.fill_rows(0, s.rows, v.data(), reversed.status.data());
    expect_same(reversed, want, "prepared in pieces, the last first");

    Outputs wrapper = blank(s);
    auto q = out_pointers(wrapper);
    for (int r = 0; r < s.rows; r += 4)
        regression_fill_rows(t.data(), f.data(), s.target_mask.data(), s.fill_mask.data(), s.bands,
                             s.rows, s.width, q.data(), wrapper.status.data(), 0.5, count, r, r + 4);
    expect_same(wrapper, want, "regression_fill_rows");

    // A shorter similar search: the full search's statuses everywhere, and
    // its values wherever the similar search is not the one shortened.
    Outputs near = blank(s);
    auto nr = out_pointers(near);
    strip.fill_rows(0, s.rows, nr.data(), near.status.data(),
                    RegressionStrip::Reach{std::min(count, 6), 11, std::min(count, 3)});
    for (std::size_t i = 0; i < near.status.size(); ++i)
        for (std::size_t b = 0; b < near.filled.size() && near.status[i] == PIXEL_SIMILAR_FIT; ++b)
            near.filled[b][i] = want.filled[b][i];
    expect_same(near, want, "fill_rows with a shorter reach");
    if (s.rows * s.width <= 20000) check_predict_rows(s, count, want);  // not olinda: a run per pixel
}

TEST(RegressionStrip, EqualsReferenceOnStripedStrips)
{
    struct Case {
        const char* what;
        int rows, width, bands;
        Values values;
        double gap_share;
        std::vector<int> counts;
    };
    const Case cases[] = {
        {"six byte bands", 45, 70, 6, Values::Bytes, 0.25, {0, 1, 2, 30, 500}},
        {"three bands, coarse values: tolerance ties", 40, 41, 3, Values::Coarse, 0.3, {1, 30}},
        {"one band of reals", 33, 52, 1, Values::Reals, 0.2, {2, 30, 500}},
        {"whole and fractional bands, -0.0", 36, 50, 4, Values::Mixed, 0.25, {2, 30}},
        {"six whole and fractional bands, -0.0 and 300", 36, 50, 6, Values::Mixed, 0.25, {30}},
        {"six bands, negative, NaN and infinite values", 38, 44, 6, Values::Odd, 0.25, {30}},
        {"seven bands", 30, 40, 7, Values::Bytes, 0.3, {30}},
        {"eight bands, negative, NaN and infinite values", 30, 40, 8, Values::Odd, 0.3, {30}},
        {"nine bands: no fixed band count", 30, 40, 9, Values::Bytes, 0.3, {30}},
        {"four byte bands", 36, 50, 4, Values::Bytes, 0.3, {2, 30}},
        {"one column past a group: windows cross its end", 40, 17, 6, Values::Bytes, 0.6, {30, 500}},
        {"one column short of two groups, wide gaps", 40, 31, 6, Values::Coarse, 0.7, {30}},
        {"three groups, reals: the exact test after the codes", 30, 48, 6, Values::Reals, 0.5, {30}},
        {"narrower than a block", 60, 7, 3, Values::Bytes, 0.3, {0, 30}},
        {"one row", 1, 90, 6, Values::Bytes, 0.3, {1, 30}},
        {"wide gaps: long searches", 30, 420, 6, Values::Bytes, 0.7, {30, 500}},
        {"tall and narrow, wide gaps: searches 195 rows up and down", 400, 8, 3, Values::Bytes, 0.8, {500}},
        {"no gaps", 12, 20, 3, Values::Reals, 0.0, {30}},
        {"tall, whole and fractional bands: prepared in pieces", 150, 24, 4, Values::Mixed, 0.3, {30}},
    };
    unsigned seed = 1;
    for (const Case& c : cases)
        for (int count : c.counts) {
            SCOPED_TRACE(std::string(c.what) + ", count " + std::to_string(count));
            check_all_paths(striped(c.rows, c.width, c.bands, c.values, c.gap_share, seed++), count);
        }
}

TEST(RegressionStrip, EqualsReferenceOnUniformMasks)
{
    // All missing in both images; all missing in the target only; all valid.
    for (int pattern = 0; pattern < 3; ++pattern) {
        Inputs s = striped(15, 23, 3, Values::Bytes, 0.0, 99);
        for (std::size_t i = 0; i < s.target_mask.size(); ++i) {
            s.target_mask[i] = pattern < 2;
            s.fill_mask[i] = pattern == 0;
        }
        SCOPED_TRACE(pattern);
        check_all_paths(s, 30);
    }
}

// Missing when any band lies outside the valid range 1..255.
std::vector<unsigned char> range_mask(const test::Raster& img)
{
    std::vector<unsigned char> mask(img.pixels(), 0);
    for (std::size_t i = 0; i < mask.size(); ++i)
        for (const auto& band : img.bands)
            if (band[i] < 1.0 || band[i] > 255.0) mask[i] = 1;
    return mask;
}

TEST(RegressionStrip, EqualsReferenceOnOlinda)
{
    const std::string dir = std::string(PELVANE_TEST_DATA) + "/olinda/";
    for (const char* suffix : {"", "_f64"}) {
        SCOPED_TRACE(suffix);
        test::Raster target = test::read_raster(dir + "target" + suffix + ".tif");
        test::Raster fill = test::read_raster(dir + "fill" + suffix + ".tif");
        Inputs s{target.height, target.width, static_cast<int>(target.bands.size()),
                 target.bands, fill.bands, range_mask(target), range_mask(fill)};
        check_all_paths(s, 30);
    }
}

}  // namespace
}  // namespace pelvane
