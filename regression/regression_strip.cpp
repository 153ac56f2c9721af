#include "regression/regression_strip.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>

#include "regression/code_groups.h"
#include "regression/pixel_status.h"
#include "regression/sarnic_rules.h"
#include "regression/window_scan.h"

namespace pelvane {
namespace {

using namespace sarnic;
using Lanes = ByteLanes;

constexpr int GROUP = BYTE_LANES;        // columns tested at once on their codes
constexpr int TILE_ROWS = 8;             // rows of the tiles that summarise the codes
constexpr int TILE_BANDS = 8;            // bands per 16-byte tile summary
constexpr int PREPARE_ROWS = 8 * TILE_ROWS;  // rows per piece of the strip's preparation
// The rings of one search test each group row and each tile once and keep
// the results, per window row (tile row) and group relative to the pixel:
// a window reaches MAX_SIDE / 2 rows and columns from the pixel, so at most
// this many groups (tile rows) on either side of the pixel's own.
constexpr int SEEN_HALF = (MAX_SIDE - 1) / 2;
constexpr int SEEN_GROUP_REACH = SEEN_HALF / GROUP + 1;
constexpr int SEEN_GROUPS = 2 * SEEN_GROUP_REACH + 1;
constexpr int SEEN_TILE_REACH = SEEN_HALF / TILE_ROWS + 1;
constexpr int SEEN_TILE_ROWS = 2 * SEEN_TILE_REACH + 1;

// Code of x on a band's 256-step scale. Every step is monotone (a rounded
// subtraction, a rounded product with a positive factor, floor, clamp), so
// x <= x' gives code(x) <= code(x'); NaN gets 0.
int scaled_code(double x, const RegressionStrip::CodeScale& s)
{
    const double t = (x - s.base) * s.scale;
    if (!(t >= 0.0)) return 0;
    if (t >= 255.0) return 255;
    return static_cast<int>(t);
}

// Steps of a band's range [lowest, highest] of finite values: 256 codes over it.
RegressionStrip::CodeScale range_scale(double lowest, double highest)
{
    const double range = highest - lowest;
    // No finite spread (or an infinite one): every code 0, the test passes all.
    if (!(range > 0.0) || !std::isfinite(range)) return {false, 0.0, 0.0};
    return {false, lowest, 256.0 / range};
}

}  // namespace

// Working storage of one fill_rows call, reused from pixel to pixel.
struct RegressionStrip::Scratch {
    std::vector<double> centre;       // fill values of the pixel itself
    std::vector<double> tolerance;    // spectral tolerance per band
    std::vector<double> samples;      // tolerance samples, MAX_TOLERANCE_SAMPLES per band
    std::vector<double> fill_min, fill_max;  // of the co-valid candidates
    std::vector<Lanes> code_lo, code_span;  // codes within tolerance: lo .. lo + span
    std::vector<Lanes> tile_query;          // the same for tile summaries
    std::vector<unsigned char> query_bytes;

    // The similar search's results so far, SEEN_GROUPS per window row and
    // per tile row: the group row's similar_bits (written by the search
    // before it reads them) and whether the tile may pass (valid where the
    // stamp is the search's own).
    std::vector<std::uint32_t> tile_stamp;
    std::vector<std::uint16_t> group_bits;
    std::vector<unsigned char> tile_pass;
    std::uint32_t stamp = 0;

    // A stamp no entry holds yet.
    std::uint32_t next_stamp()
    {
        if (++stamp == 0) {  // wrapped: forget every entry
            std::fill(tile_stamp.begin(), tile_stamp.end(), 0);
            stamp = 1;
        }
        return stamp;
    }

    // Candidates of one search, in the order found: per band the target
    // values (y) and the fill values (x), then one weight each, in blocks of
    // `capacity` entries.
    std::vector<double> store;
    std::size_t count = 0, capacity = 0;
    int bands;

    double* y(int b) { return &store[static_cast<std::size_t>(2 * b) * capacity]; }
    double* x(int b) { return &store[static_cast<std::size_t>(2 * b + 1) * capacity]; }
    double* weight() { return &store[static_cast<std::size_t>(2 * bands) * capacity]; }

    // Room for one more candidate.
    void reserve_one()
    {
        if (count >= capacity) grow();
    }
    // Twice the room (at least 256 entries), the entries kept.
    void grow()
    {
        const std::size_t grown = std::max<std::size_t>(256, 2 * capacity);
        std::vector<double> bigger((2 * static_cast<std::size_t>(bands) + 1) * grown);
        for (std::size_t k = 0; k < 2 * static_cast<std::size_t>(bands) + 1; ++k)
            std::copy_n(store.data() + k * capacity, count, bigger.data() + k * grown);
        store.swap(bigger);
        capacity = grown;
    }

    explicit Scratch(int bands)
        : centre(bands), tolerance(bands),
          samples(static_cast<std::size_t>(bands) * MAX_TOLERANCE_SAMPLES),
          fill_min(bands), fill_max(bands), code_lo(bands), code_span(bands),
          tile_query((bands + TILE_BANDS - 1) / TILE_BANDS),
          query_bytes(tile_query.size() * 16),
          tile_stamp(static_cast<std::size_t>(SEEN_TILE_ROWS) * SEEN_GROUPS, 0),
          group_bits(static_cast<std::size_t>(2 * SEEN_HALF + 1) * SEEN_GROUPS),
          tile_pass(tile_stamp.size()), bands(bands)
    {
        reserve_one();
    }

    std::size_t size() const { return count; }
    void clear() { count = 0; }
};

RegressionStrip::RegressionStrip(const double* const* target, const double* const* fill,
                                 const unsigned char* target_mask,
                                 const unsigned char* fill_mask, int band_count, int rows,
                                 int width, double weight_offset, int similar_pixel_count,
                                 const WorkItems& parallel)
    : target_(target), fill_(fill), target_mask_(target_mask), fill_mask_(fill_mask),
      bands_(band_count), rows_(rows), width_(width), weight_offset_(weight_offset),
      similar_pixel_count_(similar_pixel_count)
{
    if (band_count < 1 || rows < 1 || width < 1) {
        rows_ = width_ = 0;
        return;
    }
    // The rows in pieces of PREPARE_ROWS (whole tile rows), one item each.
    const std::size_t pieces = static_cast<std::size_t>((rows + PREPARE_ROWS - 1) / PREPARE_ROWS);
    auto in_pieces = [&](const std::function<void(int first, int end, std::size_t piece)>& work) {
        const std::function<void(std::size_t)> item = [&](std::size_t piece) {
            const int first = static_cast<int>(piece) * PREPARE_ROWS;
            work(first, std::min(rows, first + PREPARE_ROWS), piece);
        };
        if (parallel)
            parallel(pieces, item);
        else
            for (std::size_t piece = 0; piece < pieces; ++piece) item(piece);
    };
    const std::size_t per_piece = static_cast<std::size_t>(band_count);
    // Per piece and band: whether the band's fill (target) values valid in
    // both images are whole bytes there; all pieces' together, an AND.
    std::vector<char> piece_whole(pieces * per_piece, 1), piece_target_whole(pieces * per_piece, 1);

    // Lanes of every (row, group): both-valid bytes, then the codes of each
    // band. Codes are read only where the position is valid in both images
    // (the group test and the tile summaries mask the others out), so they
    // are written wherever convenient. Every band is first coded by its
    // values; a band with a valid value that is not a whole byte (nor
    // -0.0) is coded again on its range. The target's values go into the
    // same groups, kept only for the bands whose values valid in both
    // images are all whole bytes.
    groups_ = (width + GROUP - 1) / GROUP;
    group_bytes_ = ((static_cast<std::size_t>(band_count) + 1) * GROUP + 63) / 64 * 64;
    // Both left to the pieces to clear, each its own rows, on its own thread.
    lanes_ = std::make_unique_for_overwrite<CacheLine[]>(static_cast<std::size_t>(rows) * groups_ *
                                                         group_bytes_ / 64);
    const std::size_t target_group_bytes = static_cast<std::size_t>(band_count) * GROUP;
    target_bytes_ = std::make_unique_for_overwrite<unsigned char[]>(static_cast<std::size_t>(rows) *
                                                                    groups_ * target_group_bytes);
    in_pieces([&](int first_row, int end_row, std::size_t piece) {
        char* whole = &piece_whole[piece * per_piece];
        char* target_whole = &piece_target_whole[piece * per_piece];
        const std::size_t piece_rows = static_cast<std::size_t>(end_row - first_row);
        for (int g = 0; g < groups_; ++g) {
            std::memset(lane_group(first_row, g), 0, piece_rows * group_bytes_);
            std::memset(&target_bytes_[(static_cast<std::size_t>(g) * rows + first_row) * target_group_bytes],
                        0, piece_rows * target_group_bytes);
        }
        for (int r = first_row; r < end_row; ++r) {
            const std::size_t line = static_cast<std::size_t>(r) * width;
            for (int g = 0; g < groups_; ++g) {
                unsigned char* group = lane_group(r, g);
                const std::size_t first = line + static_cast<std::size_t>(g) * GROUP;
                const int n = std::min(GROUP, width - g * GROUP);
                for (int j = 0; j < n; ++j)
                    group[j] = target_mask[first + j] == 0 && fill_mask[first + j] == 0 ? 0xFF : 0;
                const unsigned valid = valid_bits<Lanes>(group);
                for (int b = 0; b < band_count; ++b)
                    if ((byte_codes<Lanes>(fill[b] + first, n, group + GROUP * (1 + b)) & valid) !=
                        valid)
                        whole[b] = 0;
                unsigned char* bytes =
                    &target_bytes_[(static_cast<std::size_t>(g) * rows + r) * target_group_bytes];
                for (int b = 0; b < band_count; ++b)
                    if ((byte_codes<Lanes>(target[b] + first, n, bytes + GROUP * b) & valid) != valid)
                        target_whole[b] = 0;
            }
        }
    });
    std::vector<char> whole(band_count, 1);
    target_whole_.assign(band_count, 1);
    for (std::size_t piece = 0; piece < pieces; ++piece)
        for (int b = 0; b < band_count; ++b) {
            whole[b] &= piece_whole[piece * per_piece + b];
            target_whole_[b] &= piece_target_whole[piece * per_piece + b];
        }
    if (std::find(target_whole_.begin(), target_whole_.end(), 1) == target_whole_.end())
        target_bytes_.reset();

    scales_.assign(band_count, CodeScale{true, 0.0, 1.0});
    for (int b = 0; b < band_count; ++b)
        if (!whole[b]) inexact_bands_.push_back(b);
    if (!inexact_bands_.empty()) {
        // Each such band's lowest and highest finite value valid in both
        // images, per piece in raster order, then over the pieces in their
        // order: the first of equal values wins throughout, as in one pass.
        const std::size_t inexact = inexact_bands_.size();
        std::vector<double> lowest(pieces * inexact, INFINITY), highest(pieces * inexact, -INFINITY);
        in_pieces([&](int first_row, int end_row, std::size_t piece) {
            for (std::size_t k = 0; k < inexact; ++k) {
                const int b = inexact_bands_[k];
                double& low = lowest[piece * inexact + k];
                double& high = highest[piece * inexact + k];
                for (int r = first_row; r < end_row; ++r)
                    for (int c = 0; c < width; ++c) {
                        const double v = fill[b][static_cast<std::size_t>(r) * width + c];
                        if (lane_group(r, c / GROUP)[c % GROUP] != 0 && std::isfinite(v)) {
                            low = std::min(low, v);
                            high = std::max(high, v);
                        }
                    }
            }
        });
        for (std::size_t k = 0; k < inexact; ++k) {
            double low = INFINITY, high = -INFINITY;
            for (std::size_t piece = 0; piece < pieces; ++piece) {
                low = std::min(low, lowest[piece * inexact + k]);
                high = std::max(high, highest[piece * inexact + k]);
            }
            scales_[inexact_bands_[k]] = range_scale(low, high);
        }
    }

    // Tile summaries over TILE_ROWS rows of one group: lowest code and 255
    // minus the highest code per band, from the positions valid in both.
    // Lanes of no band stay 0, which every query passes. A piece codes its
    // rows of the bands not of whole bytes on their ranges first.
    tile_bytes_ = static_cast<std::size_t>((band_count + TILE_BANDS - 1) / TILE_BANDS) * 16;
    const int tile_rows = (rows + TILE_ROWS - 1) / TILE_ROWS;
    tile_rows_ = tile_rows;
    tiles_.assign(static_cast<std::size_t>(tile_rows) * groups_ * tile_bytes_, 0);
    in_pieces([&](int first_row, int end_row, std::size_t) {
        for (int b : inexact_bands_)
            for (int r = first_row; r < end_row; ++r)
                for (int c = 0; c < width; ++c)
                    lane_group(r, c / GROUP)[GROUP * (1 + b) + c % GROUP] =
                        static_cast<unsigned char>(scaled_code(
                            fill[b][static_cast<std::size_t>(r) * width + c], scales_[b]));
        for (int t = first_row / TILE_ROWS; t * TILE_ROWS < end_row; ++t)
            for (int g = 0; g < groups_; ++g) {
                unsigned char* summary =
                    &tiles_[(static_cast<std::size_t>(g) * tile_rows + t) * tile_bytes_];
                const int count = std::min(rows, (t + 1) * TILE_ROWS) - t * TILE_ROWS;
                for (int b = 0; b < band_count; ++b) {
                    unsigned char* lane = summary + 16 * (b / TILE_BANDS) + b % TILE_BANDS;
                    summarise_codes<Lanes>(lane_group(t * TILE_ROWS, g), group_bytes_,
                                           count, b, lane[0], lane[TILE_BANDS]);
                }
            }
    });
}

// Tolerance from the fill values valid around the pixel.
void RegressionStrip::compute_tolerance(int row, int col, Scratch& w) const
{
    double* const samples = w.samples.data();
    double* const tolerance = w.tolerance.data();
    switch (bands_) {
    case 3:
        spectral_tolerance_lanes<3>(fill_, fill_mask_, rows_, width_, row, col, samples, tolerance);
        break;
    case 4:
        spectral_tolerance_lanes<4>(fill_, fill_mask_, rows_, width_, row, col, samples, tolerance);
        break;
    case 6:
        spectral_tolerance_lanes<6>(fill_, fill_mask_, rows_, width_, row, col, samples, tolerance);
        break;
    case 7:
        spectral_tolerance_lanes<7>(fill_, fill_mask_, rows_, width_, row, col, samples, tolerance);
        break;
    case 8:
        spectral_tolerance_lanes<8>(fill_, fill_mask_, rows_, width_, row, col, samples, tolerance);
        break;
    default:
        spectral_tolerance(fill_, fill_mask_, bands_, rows_, width_, row, col, samples, tolerance);
    }
}

// The codes a similar candidate can have, band by band. A fill value x passes
// when the rounded |x - c| is at most tol, so |x - c| <= tol * (1 + 2^-52)
// exactly; `low` and `high` below widen [c - tol, c + tol] by far more than
// the rounding of that bound and of their own arithmetic, so every passing x
// lies in [low, high] and, the codes being monotone, its code in
// [code(low), code(high)]. Returns false when no fill value can pass in some
// band.
bool RegressionStrip::similar_bounds(Scratch& w) const
{
    std::fill(w.query_bytes.begin(), w.query_bytes.end(), 255);  // lanes of no band pass
    for (int b = 0; b < bands_; ++b) {
        const double c = w.centre[b], tol = w.tolerance[b];
        if (!(tol >= 0.0) || std::isnan(c)) return false;  // the test fails for every x
        int lo = 0, hi = 255;
        if (std::isfinite(c) && std::isfinite(tol)) {
            const double margin = (std::fabs(c) + tol) * 0x1p-48 + DBL_MIN;
            const double low = (c - tol) - margin;
            const double high = (c + tol) + margin;
            if (scales_[b].whole_bytes) {
                if (low > 255.0 || high < 0.0) return false;
                if (low > 0.0) lo = static_cast<int>(std::ceil(low));
                if (high < 255.0) hi = static_cast<int>(std::floor(high));
            } else {
                lo = scaled_code(low, scales_[b]);
                hi = scaled_code(high, scales_[b]);
            }
        }
        if (scales_[b].whole_bytes) {
            // The codes are the values: narrow [lo, hi] to the values that
            // pass the exact test. They form one interval (the rounded
            // k - c grows with k), so the code test decides alone.
            auto pass = [&](int k) { return std::fabs(static_cast<double>(k) - c) <= tol; };
            while (lo <= hi && !pass(lo)) ++lo;
            while (hi >= lo && !pass(hi)) --hi;
            if (lo > hi) return false;
        }
        w.code_lo[b] = Lanes::set1(static_cast<unsigned char>(lo));
        w.code_span[b] = Lanes::set1(static_cast<unsigned char>(hi - lo));
        w.query_bytes[16 * (b / TILE_BANDS) + b % TILE_BANDS] = static_cast<unsigned char>(hi);
        w.query_bytes[16 * (b / TILE_BANDS) + TILE_BANDS + b % TILE_BANDS] =
            static_cast<unsigned char>(255 - lo);
    }
    for (std::size_t k = 0; k < w.tile_query.size(); ++k)
        w.tile_query[k] = Lanes::loadu(&w.query_bytes[16 * k]);
    return true;
}

// Walks the growing windows around the pixel, ring by ring, each ring row by
// row and each row from left to right; stops after the first window at whose
// end the store holds at least similar_pixel_count candidates, or when the
// side outgrows MAX_SIDE. Rows are taken in runs that share one tile row and
// one shape (whole row, or the two pieces beside the inner square): the
// groups of a run are chosen once, leaving out, in the similar search, those
// whose tile proves that no position can pass; then all the run's group
// rows are tested, and only those that hold candidates walked, row by row.
template <bool Similar, int Bands>
void RegressionStrip::search(int row, int col, Scratch& w, const Reach& reach) const
{
    const int bands = Bands > 0 ? Bands : bands_;
    // Where every band's x and y are bytes and the band count is known, the
    // pixel's values and the offset sit in locals (the candidate's stores
    // could otherwise change them, as far as the compiler knows), and each
    // candidate's values go straight from the bytes to the store.
    constexpr int KNOWN = Bands > 0 ? Bands : 1;
    bool all_bytes = Bands > 0 && target_bytes_ != nullptr;
    double centre[KNOWN];
    for (int b = 0; b < Bands; ++b) {
        all_bytes = all_bytes && scales_[b].whole_bytes && target_whole_[b];
        centre[b] = w.centre[b];
    }
    const double offset = weight_offset_;
    // Stores the candidate at q: y, x and the band weights summed over the
    // bands, first band first. A band of whole bytes takes x from the codes
    // (the same bits, already at hand), the others from the fill image.
    // The same for y, from target_bytes_ (the group's bytes at `target_group`
    // of the row's `target_line`).
    auto add = [&](std::size_t q, int dr, int dc, const unsigned char* group,
                   const unsigned char* target_line, std::size_t target_group, int j) {
        const double distance = static_cast<double>(dr * dr + dc * dc);
        w.reserve_one();
        double combined = 0.0;
        if (Bands > 0 && all_bytes) {
            double* const at = w.store.data() + w.count;
            const std::size_t blocks = w.capacity;
            for (int b = 0; b < KNOWN; ++b) {
                const double x = static_cast<double>(group[GROUP * (1 + b) + j]);
                at[2 * b * blocks] = static_cast<double>(target_line[target_group + GROUP * b + j]);
                at[(2 * b + 1) * blocks] = x;
                combined += 1.0 / ((std::fabs(x - centre[b]) + offset) * distance);
            }
            at[2 * KNOWN * blocks] = combined;
            ++w.count;
            return;
        }
        for (int b = 0; b < bands; ++b) {
            const double x = scales_[b].whole_bytes
                                 ? static_cast<double>(group[GROUP * (1 + b) + j])
                                 : fill_[b][q];
            w.y(b)[w.count] = target_whole_[b]
                                  ? static_cast<double>(target_line[target_group + GROUP * b + j])
                                  : target_[b][q];
            w.x(b)[w.count] = x;
            combined += 1.0 / ((std::fabs(x - w.centre[b]) + weight_offset_) * distance);
            if (!Similar) {
                if (x > w.fill_max[b]) w.fill_max[b] = x;
                if (x < w.fill_min[b]) w.fill_min[b] = x;
            }
        }
        w.weight()[w.count++] = combined;
    };

    // The groups that the rows of a ring cross, with the columns taken from
    // each, in column order: for whole rows and for the rows beside the inner
    // square. A run keeps those whose tile may hold a passing position.
    struct Piece {
        int column;          // of the group's first lane
        unsigned columns;    // bit j: column + j belongs to the ring
        std::size_t offset;  // of the group's first row from the strip's first lanes
        int seen;            // of the group's results in a row of Scratch's seen entries
        bool tested;         // its rows beside the inner square were tested by the window before
    };
    constexpr int MOST = 2 * (MAX_SIDE / GROUP + 2);
    Piece whole_rows[MOST], beside[MOST], run[MOST];
    int whole_count = 0, beside_count = 0;
    const std::uint32_t stamp = Similar ? w.next_stamp() : 0;
    const int group_base = col / GROUP - SEEN_GROUP_REACH;
    const int tile_base = row / TILE_ROWS - SEEN_TILE_REACH;
    // The groups tested before are those from tested_first to tested_last.
    auto cut = [&](int first, int last, Piece* pieces, int& count, int tested_first,
                   int tested_last) {
        for (int g = first / GROUP; first <= last && g <= last / GROUP; ++g) {
            const int a = std::max(first, g * GROUP) - g * GROUP;
            const int b = std::min(last, g * GROUP + GROUP - 1) - g * GROUP;
            pieces[count++] = {g * GROUP, ((2u << b) - 1u) & ~((1u << a) - 1u),
                               static_cast<std::size_t>(g) * rows_ * group_bytes_,
                               g - group_base, g >= tested_first && g <= tested_last};
        }
    };
    // A group's rows follow each other. Null target_bytes_ (no band of
    // bytes) is never read: its rows stay 0 bytes apart.
    const std::size_t row_bytes = group_bytes_;
    const std::size_t target_row_bytes =
        target_bytes_ == nullptr ? 0 : static_cast<std::size_t>(GROUP) * bands_;
    const std::size_t target_group_stride = target_row_bytes * rows_;

    // The bounds in locals, which the compiler may keep in registers.
    Lanes lo_local[Bands > 0 ? Bands : 1], span_local[Bands > 0 ? Bands : 1];
    const Lanes* lo = w.code_lo.data();
    const Lanes* span = w.code_span.data();
    if (Bands > 0) {
        std::copy_n(lo, Bands, lo_local);
        std::copy_n(span, Bands, span_local);
        lo = lo_local;
        span = span_local;
    }
    const Lanes* tile_query = w.tile_query.data();

    // The candidates at `bits` of a piece's group in row r, in column order.
    auto take = [&](int r, const Piece& piece, unsigned bits, const unsigned char* group,
                    const unsigned char* target_line) {
        while (bits != 0) {
            const int j = std::countr_zero(bits);
            bits &= bits - 1u;
            const int c = piece.column + j;
            const std::size_t q = static_cast<std::size_t>(r) * width_ + c;
            if (Similar) {
                // The exact test, where the codes do not decide.
                bool pass = true;
                for (int b : inexact_bands_)
                    pass &= std::fabs(fill_[b][q] - w.centre[b]) <= w.tolerance[b];
                if (!pass) continue;
            }
            add(q, r - row, c - col, group, target_line,
                static_cast<std::size_t>(piece.column / GROUP) * target_group_stride, j);
        }
    };
    // The group rows of a run that hold candidates: row within the run,
    // piece, columns.
    struct Hit {
        int row, piece;
        unsigned bits;
    };
    Hit hits[TILE_ROWS * MOST];

    int (*const step)(int) = Similar ? similar_step : covalid_step;
    int inner = 0;
    for (int side = FIRST_SIDE; side <= MAX_SIDE; side += step(side)) {
        const int half = (side - 1) / 2;
        const int r0 = std::max(row - half, 0), r1 = std::min(row + half, rows_ - 1);
        const int c0 = std::max(col - half, 0), c1 = std::min(col + half, width_ - 1);
        whole_count = beside_count = 0;
        cut(c0, c1, whole_rows, whole_count, 0, -1);
        // In the rows beside the inner square, the window before (none when
        // inner is 0) tested the groups it crossed, but for those its tiles
        // left out, which these tiles leave out again; the rows above and
        // below it are new.
        const int tested_first = inner > 0 ? std::max(col - inner, 0) / GROUP : 0;
        const int tested_last = inner > 0 ? std::min(col + inner, width_ - 1) / GROUP : -1;
        cut(c0, std::min(col - inner - 1, c1), beside, beside_count, tested_first, tested_last);
        cut(std::max(col + inner + 1, c0), c1, beside, beside_count, tested_first, tested_last);
        for (int r = r0; r <= r1;) {
            const int tile_row = static_cast<unsigned>(r) / TILE_ROWS;
            int end = std::min(r1, tile_row * TILE_ROWS + TILE_ROWS - 1);
            const Piece* pieces = whole_rows;
            int count = whole_count;
            if (r < row - inner) {
                end = std::min(end, row - inner - 1);
            } else if (r <= row + inner) {
                end = std::min(end, row + inner);
                pieces = beside;
                count = beside_count;
            }
            if (Similar) {
                int kept = 0;
                const std::size_t seen =
                    static_cast<std::size_t>(tile_row - tile_base) * SEEN_GROUPS;
                std::uint32_t* stamps = &w.tile_stamp[seen];
                unsigned char* pass = &w.tile_pass[seen];
                for (int i = 0; i < count; ++i) {
                    const int k = pieces[i].seen;
                    if (stamps[k] != stamp) {
                        stamps[k] = stamp;
                        pass[k] = tile_may_pass(tile(tile_row, pieces[i].column / GROUP),
                                                tile_bytes_, tile_query);
                    }
                    if (pass[k]) run[kept++] = pieces[i];
                }
                pieces = run;
                count = kept;
            }
            const unsigned char* line = lanes_[0].bytes + static_cast<std::size_t>(r) * row_bytes;
            const unsigned char* target_line =
                target_bytes_.get() + static_cast<std::size_t>(r) * target_row_bytes;
            if (!Similar) {
                for (; r <= end; ++r, line += row_bytes, target_line += target_row_bytes)
                    for (int i = 0; i < count; ++i) {
                        const unsigned char* group = line + pieces[i].offset;
                        take(r, pieces[i], valid_bits<Lanes>(group) & pieces[i].columns, group,
                             target_line);
                    }
                continue;
            }
            // First the run's group rows, each tested unless the window before
            // did (their loads overlap, no candidate's branches between them),
            // noting those that hold a candidate; then their candidates.
            int held = 0;
            for (int t = r; t <= end; ++t) {
                const unsigned char* next = line + static_cast<std::size_t>(t - r) * row_bytes;
                std::uint16_t* found =
                    &w.group_bits[static_cast<std::size_t>(t - row + SEEN_HALF) * SEEN_GROUPS];
                for (int i = 0; i < count; ++i) {
                    unsigned bits;
                    if (pieces[i].tested) {
                        bits = found[pieces[i].seen];
                    } else {
                        bits = similar_bits(next + pieces[i].offset, bands, lo, span);
                        found[pieces[i].seen] = static_cast<std::uint16_t>(bits);
                    }
                    hits[held] = {t - r, i, bits & pieces[i].columns};
                    held += hits[held].bits != 0;
                }
            }
            for (int k = 0; k < held; ++k) {
                const std::size_t down = static_cast<std::size_t>(hits[k].row);
                const Piece& piece = pieces[hits[k].piece];
                take(r + hits[k].row, piece, hits[k].bits, line + down * row_bytes + piece.offset,
                     target_line + down * target_row_bytes);
            }
            r = end + 1;
        }
        const long long found = static_cast<long long>(w.size());
        if (found >= reach.similar_pixels || (found >= reach.enough && side >= reach.max_side)) return;
        inner = half;
    }
}

RegressionStrip::Reach RegressionStrip::full_reach() const
{
    return {similar_pixel_count_, MAX_SIDE, similar_pixel_count_};
}

void RegressionStrip::similar_search(int row, int col, Scratch& w, const Reach& reach) const
{
    switch (bands_) {
    case 3: search<true, 3>(row, col, w, reach); break;
    case 6: search<true, 6>(row, col, w, reach); break;
    default: search<true, 0>(row, col, w, reach); break;
    }
}

void RegressionStrip::predict_pixel(int row, int col, Scratch& w, double* const* filled,
                                    unsigned char& status, const Reach& reach) const
{
    const std::size_t pos = static_cast<std::size_t>(row) * width_ + col;
    for (int b = 0; b < bands_; ++b) w.centre[b] = fill_[b][pos];
    compute_tolerance(row, col, w);

    // Candidates valid in both images and, band by band, within the
    // tolerance of the pixel's own fill values. When no fill value can pass
    // in some band the search would find nothing anywhere: it is skipped.
    w.clear();
    if (similar_bounds(w)) similar_search(row, col, w, reach);
    bool similar_fit = w.size() >= 2;
    if (!similar_fit) {
        // Too few similar pixels: every position valid in both images counts.
        w.clear();
        for (int b = 0; b < bands_; ++b) {
            w.fill_min[b] = FILL_RANGE_LOW_START;
            w.fill_max[b] = FILL_RANGE_HIGH_START;
        }
        search<false, 0>(row, col, w, full_reach());
    }

    const std::size_t n = w.size();
    for (int b = 0; b < bands_; ++b)
        filled[b][pos] = fit_band(w.weight(), w.x(b), w.y(b), n, w.centre[b], similar_fit,
                                  w.fill_min[b], w.fill_max[b], status);
}

void RegressionStrip::fill_pixel(int row, int col, Scratch& work, double* const* filled,
                                 unsigned char* status, const Reach& reach) const
{
    const std::size_t pos = static_cast<std::size_t>(row) * width_ + col;
    if (target_mask_[pos] != 0 && fill_mask_[pos] == 0) {
        predict_pixel(row, col, work, filled, status[pos], reach);
        return;
    }
    for (int b = 0; b < bands_; ++b) filled[b][pos] = target_[b][pos];
    status[pos] = target_mask_[pos] == 0 ? PIXEL_VALID : PIXEL_BOTH_MISSING;
}

void RegressionStrip::fill_rows(int row_begin, int row_end, double* const* filled,
                                unsigned char* status) const
{
    fill_rows_within(row_begin, row_end, filled, status, full_reach(), nullptr, nullptr);
}

void RegressionStrip::fill_rows(int row_begin, int row_end, double* const* filled,
                                unsigned char* status, ProgressFn progress,
                                void* progress_context) const
{
    fill_rows_within(row_begin, row_end, filled, status, full_reach(), progress, progress_context);
}

void RegressionStrip::fill_rows(int row_begin, int row_end, double* const* filled,
                                unsigned char* status, const Reach& reach) const
{
    fill_rows_within(row_begin, row_end, filled, status, reach, nullptr, nullptr);
}

void RegressionStrip::fill_rows_within(int row_begin, int row_end, double* const* filled,
                                       unsigned char* status, const Reach& reach,
                                       ProgressFn progress, void* progress_context) const
{
    const int first = std::max(row_begin, 0), end = std::min(row_end, rows_);
    if (first >= end) return;
    const std::size_t pixels = static_cast<std::size_t>(rows_) * static_cast<std::size_t>(width_);
    const bool report = progress != nullptr && progress_context != nullptr;
    Scratch work(bands_);
    for (int row = first; row < end; ++row) {
        for (int col = 0; col < width_; ++col) {
            if (report) {
                const std::size_t pos = static_cast<std::size_t>(row) * width_ + col;
                progress(static_cast<double>(pos) / static_cast<double>(pixels), "",
                         progress_context);
            }
            fill_pixel(row, col, work, filled, status, reach);
        }
    }
}

void RegressionStrip::predict_rows(int row_begin, int row_end, const unsigned char* select,
                                   double* const* prediction) const
{
    predict_rows(row_begin, row_end, select, prediction, full_reach());
}

void RegressionStrip::predict_rows(int row_begin, int row_end, const unsigned char* select,
                                   double* const* prediction, const Reach& reach) const
{
    const int first = std::max(row_begin, 0), end = std::min(row_end, rows_);
    Scratch work(bands_);
    unsigned char status = 0;
    for (int row = first; row < end; ++row)
        for (int col = 0; col < width_; ++col)
            if (select[static_cast<std::size_t>(row) * width_ + col] != 0)
                predict_pixel(row, col, work, prediction, status, reach);
}

}  // namespace pelvane
