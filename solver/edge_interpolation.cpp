#include "solver/edge_interpolation.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

#include "solver/skewed_sweep.h"  // simd_path_supported

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace pelvane {

namespace {

// Added to every pixel's own variance at least: the correlation matrix then
// has no eigenvalue below it, so its Cholesky factorisation never meets a
// zero pivot, however tightly the known pixels crowd. 0.1 % of a band's
// variance lies below any sensor's noise.
constexpr double MIN_NUGGET = 1e-3;

// Ranges tried by the fit: RANGE_STEPS of them from RANGE_FIRST to
// RANGE_LAST pixels, each 8 % above the one before. Beyond 50 pixels the
// 32 nearest known pixels, all within a few pixels, would be weighted as one
// flat plane; below half a pixel neighbours share nothing.
constexpr int RANGE_STEPS = 60;
constexpr double RANGE_FIRST = 0.5;
constexpr double RANGE_LAST = 50.0;

// Columns whose variogram terms are made at once: a few tens of KiB of them.
constexpr int VARIOGRAM_CHUNK = 256;

// The correlation table covers every offset within EDGE_REACH either way.
constexpr int TABLE_SIDE = 2 * EDGE_REACH + 1;

// Per octant of a pixel with `right`, `down`, `left` and `up` columns and rows
// of strip beyond it: a bound on the squared distance of its farthest pixel
// inside the strip (the octant's corner of the strip), or -1 when the octant
// holds no pixel of the strip. Searching stops beyond the bound of every
// octant still short of its quota; nothing is skipped that could be taken.
void octant_bounds(int right, int down, int left, int up, int* bound)
{
    auto corner = [](int a, int b) { return a * a + b * b; };
    bound[0] = right >= 1 ? corner(right, std::min(down, right - 1)) : -1;
    bound[1] = right >= 1 && down >= 1 ? corner(down, std::min(right, down)) : -1;
    bound[2] = down >= 1 ? corner(down, std::min(left, down - 1)) : -1;
    bound[3] = left >= 1 && down >= 1 ? corner(left, std::min(down, left)) : -1;
    bound[4] = left >= 1 ? corner(left, std::min(up, left - 1)) : -1;
    bound[5] = left >= 1 && up >= 1 ? corner(up, std::min(left, up)) : -1;
    bound[6] = up >= 1 ? corner(up, std::min(right, up - 1)) : -1;
    bound[7] = right >= 1 && up >= 1 ? corner(right, std::min(up, right)) : -1;
}

struct Offset {
    int dy;
    int dx;
    int distance2;  // dy^2 + dx^2
    int rank;       // the place in the search order
};

// Every offset within reach in the order the search takes them (by
// distance, then row, then column), split by octant; made once. An octant
// no longer taking pixels is not walked through.
const std::vector<Offset>* octant_orders()
{
    static const std::vector<std::vector<Offset>> octants = [] {
        std::vector<Offset> list;
        for (int dy = -EDGE_REACH; dy <= EDGE_REACH; ++dy)
            for (int dx = -EDGE_REACH; dx <= EDGE_REACH; ++dx)
                if ((dy != 0 || dx != 0) && dy * dy + dx * dx <= EDGE_REACH * EDGE_REACH)
                    list.push_back({dy, dx, dy * dy + dx * dx, 0});
        std::sort(list.begin(), list.end(), [](const Offset& a, const Offset& b) {
            if (a.distance2 != b.distance2) return a.distance2 < b.distance2;
            if (a.dy != b.dy) return a.dy < b.dy;
            return a.dx < b.dx;
        });
        std::vector<std::vector<Offset>> split(8);
        for (std::size_t i = 0; i < list.size(); ++i) {
            list[i].rank = static_cast<int>(i);
            split[edge_octant(list[i].dy, list[i].dx)].push_back(list[i]);
        }
        return split;
    }();
    return octants.data();
}

// The Cholesky factorisation of the correlations among n known pixels,
// column by column: column c of l (l[c * N + r], r >= c, N =
// EDGE_NEIGHBOURS) holds C(r, c) on entry and L(r, c) on return, with
// L(r, c) = (C(r, c) - sum over k < c of L(r, k) L(c, k)) / L(c, c), each
// sum's terms in the order of k, as a row-by-row factorisation takes them
// (the same bits). But the entries of a column do not wait for one
// another: four at a time, their sums in registers, which the compiler
// makes vector operations.
[[gnu::always_inline]] inline void factor_columns_by_four(double* l, int n)
{
    constexpr int N = EDGE_NEIGHBOURS;
    for (int c = 0; c < n; ++c) {
        double* column = l + c * N;
        int r = c;
        for (; r + 4 <= n; r += 4) {
            double s[4] = {column[r], column[r + 1], column[r + 2], column[r + 3]};
            for (int k = 0; k < c; ++k) {
                const double* before = l + k * N;
                const double lck = before[c];
                for (int i = 0; i < 4; ++i) s[i] -= before[r + i] * lck;
            }
            std::copy(s, s + 4, column + r);
        }
        for (; r < n; ++r) {
            double s = column[r];
            for (int k = 0; k < c; ++k) s -= l[k * N + r] * l[k * N + c];
            column[r] = s;
        }
        const double pivot = std::sqrt(column[c]);
        column[c] = pivot;
        for (r = c + 1; r < n; ++r) column[r] /= pivot;
    }
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) void factor_columns_avx2(double* l, int n)
{
    factor_columns_by_four(l, n);
}
#endif

void factor_columns(double* l, int n)
{
#if defined(__x86_64__) || defined(__i386__)
    static const bool avx2 = simd_path_supported(SIMD_AVX2);
    if (avx2) return factor_columns_avx2(l, n);
#endif
    factor_columns_by_four(l, n);
}

// The variogram terms of `length` pixels from v, lag by lag: the squared
// difference with the pixel `right` columns on into a[i], with the one
// `below` places on into d[i]; a pair that is not there (either pixel in a
// gap) masked to +0.0 (all bits clear), so that the loop runs on vector
// lanes. Returns the pairs that are there.
[[gnu::always_inline]] inline std::int64_t variogram_terms_by(const double* v, const unsigned char* gap,
                                                              int length, std::size_t right,
                                                              std::size_t below, double* __restrict a,
                                                              double* __restrict d)
{
    std::int64_t count = 0;
    for (int i = 0; i < length; ++i) {
        const std::size_t p = static_cast<std::size_t>(i);
        const double da = v[p] - v[p + right], dd = v[p] - v[p + below];
        const std::int64_t pair_along = (gap[p] | gap[p + right]) == 0 ? -1 : 0;
        const std::int64_t pair_down = (gap[p] | gap[p + below]) == 0 ? -1 : 0;
        a[i] = std::bit_cast<double>(std::bit_cast<std::int64_t>(da * da) & pair_along);
        d[i] = std::bit_cast<double>(std::bit_cast<std::int64_t>(dd * dd) & pair_down);
        count -= pair_along + pair_down;
    }
    return count;
}

#if defined(__x86_64__) || defined(__i386__)
// Four lanes at a time: the same operations in each, so the same bits.
__attribute__((target("avx2"))) std::int64_t variogram_terms_avx2(const double* v, const unsigned char* gap,
                                                                 int length, std::size_t right,
                                                                 std::size_t below, double* a, double* d)
{
    std::int64_t count = 0;
    int i = 0;
    const __m256i zero = _mm256_setzero_si256();
    for (; i + 4 <= length; i += 4) {
        const std::size_t p = static_cast<std::size_t>(i);
        const __m256d here = _mm256_loadu_pd(v + p);
        const __m256d da = _mm256_sub_pd(here, _mm256_loadu_pd(v + p + right));
        const __m256d dd = _mm256_sub_pd(here, _mm256_loadu_pd(v + p + below));
        std::uint32_t g0, g1, g2;
        std::memcpy(&g0, gap + p, 4);
        std::memcpy(&g1, gap + p + right, 4);
        std::memcpy(&g2, gap + p + below, 4);
        // A lane's mask: all bits set where both pixels of the pair are known.
        const __m256i along = _mm256_cmpeq_epi64(
            _mm256_cvtepu8_epi64(_mm_cvtsi32_si128(static_cast<int>(g0 | g1))), zero);
        const __m256i down = _mm256_cmpeq_epi64(
            _mm256_cvtepu8_epi64(_mm_cvtsi32_si128(static_cast<int>(g0 | g2))), zero);
        _mm256_storeu_pd(a + p, _mm256_and_pd(_mm256_mul_pd(da, da), _mm256_castsi256_pd(along)));
        _mm256_storeu_pd(d + p, _mm256_and_pd(_mm256_mul_pd(dd, dd), _mm256_castsi256_pd(down)));
        count += __builtin_popcount(static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(along)))) +
                 __builtin_popcount(static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(down))));
    }
    return count + variogram_terms_by(v + i, gap + i, length - i, right, below, a + i, d + i);
}
#endif

std::int64_t variogram_terms(const double* v, const unsigned char* gap, int length, std::size_t right,
                             std::size_t below, double* a, double* d)
{
#if defined(__x86_64__) || defined(__i386__)
    static const bool avx2 = simd_path_supported(SIMD_AVX2);
    if (avx2) return variogram_terms_avx2(v, gap, length, right, below, a, d);
#endif
    return variogram_terms_by(v, gap, length, right, below, a, d);
}

// The most limit_edge_simd_path allows.
std::atomic<int> edge_simd_limit{SIMD_AVX512};

#if defined(__x86_64__) || defined(__i386__)
// The n (at most EDGE_NEIGHBOURS) pixels taken, put in the search order:
// each one's place is the count of those of a lower rank (the ranks
// differ), sixteen ranks compared at once. Merging the octants' runs
// instead missed the branch predictions about every other comparison.
__attribute__((target("avx512f"))) void order_by_rank_avx512(const Offset* const* taken, int n,
                                                            const Offset** ordered)
{
    static_assert(EDGE_NEIGHBOURS == 32);
    alignas(64) int rank[EDGE_NEIGHBOURS];
    for (int k = 0; k < EDGE_NEIGHBOURS; ++k)
        rank[k] = k < n ? taken[k]->rank : std::numeric_limits<int>::max();
    const __m512i low = _mm512_load_si512(rank), high = _mm512_load_si512(rank + 16);
    for (int k = 0; k < n; ++k) {
        const __m512i own = _mm512_set1_epi32(rank[k]);
        const int place = std::popcount(static_cast<unsigned>(_mm512_cmplt_epi32_mask(low, own))) +
                          std::popcount(static_cast<unsigned>(_mm512_cmplt_epi32_mask(high, own)));
        ordered[place] = taken[k];
    }
}
#endif

}  // namespace

void limit_edge_simd_path(int most)
{
    edge_simd_limit.store(most, std::memory_order_relaxed);
}

// An offset (dy, dx) within reach as one 16-bit number, dy * OFFSET_BASE +
// dx: OFFSET_BASE exceeds the 2 * EDGE_REACH + 1 values dx takes.
constexpr int OFFSET_BASE = 256;
static_assert(OFFSET_BASE > 2 * EDGE_REACH + 1);
static_assert(EDGE_REACH * (OFFSET_BASE + 1) <= INT16_MAX);

EdgeWeightCache::EdgeWeightCache()
    : memory_(allocate_work_buffer((SLOTS * sizeof(Entry) + sizeof(double) - 1) / sizeof(double))),
      recent_(SLOTS / 2, 0)
{
    static_assert(alignof(Entry) <= alignof(double) && std::is_trivially_destructible_v<Entry>);
    if (!memory_) throw std::bad_alloc();
    entries_ = reinterpret_cast<Entry*>(memory_.get());
    // A fresh mapping reads as zeros, every entry empty (n = 0) already, and
    // its pages are only touched once used; memory from the heap is cleared.
    if (memory_.get_deleter().mapped_bytes == 0)
        for (std::size_t k = 0; k < SLOTS; ++k) new (entries_ + k) Entry();
}

std::size_t EdgeWeightCache::bytes()
{
    return SLOTS * sizeof(Entry) + SLOTS / 2;
}

EdgeWeightCache& EdgeWeightCache::of_this_thread()
{
    thread_local EdgeWeightCache cache;
    return cache;
}

int edge_octant(int dy, int dx)
{
    if (dx > 0 && dy >= 0) return dx > dy ? 0 : 1;
    if (dx <= 0 && dy > 0) return dy > -dx ? 2 : 3;
    if (dx < 0 && dy <= 0) return -dx > -dy ? 4 : 5;
    return -dy > dx ? 6 : 7;  // dx >= 0, dy < 0
}

bool edge_variogram(const double* const* bands, int band_count, const unsigned char* gap_mask,
                    int width, int rows, int row_step, double* gamma, const EdgeItems& items)
{
    std::fill(gamma, gamma + EDGE_LAGS, 0.0);
    if (band_count < 1 || width < 1 || rows < 1) return false;
    row_step = std::max(row_step, 1);
    const std::size_t w = static_cast<std::size_t>(width);
    // Each band's sums on their own (in any order, on any thread), then
    // pooled band by band.
    struct BandSums {
        double sum[EDGE_LAGS] = {};
        long long pairs[EDGE_LAGS] = {};
    };
    std::vector<BandSums> by_band(static_cast<std::size_t>(band_count));
    auto band_sums = [&](std::size_t b) {
        const double* v = bands[b];
        double sum[EDGE_LAGS] = {};
        long long pairs[EDGE_LAGS] = {};
        std::vector<double> terms(2 * static_cast<std::size_t>(EDGE_LAGS) * VARIOGRAM_CHUNK);
        double* const along = terms.data();
        double* const down = along + EDGE_LAGS * VARIOGRAM_CHUNK;
        for (int y = 0; y < rows; y += row_step) {
            // Where all the pairs of a pixel lie in the strip, in chunks of
            // columns: first every term of the chunk, lag by lag (a pair
            // that is not there, or of a pixel in a gap, is +0.0), then
            // each sum's terms in the order of the pixels, the pair along
            // the row before the one down the column. Adding +0.0 leaves a
            // sum as it was (of squares, it is never -0.0): the same bits.
            const int inside = y + EDGE_LAGS < rows ? std::max(width - EDGE_LAGS, 0) : 0;
            const std::size_t line = static_cast<std::size_t>(y) * w;
            for (int x0 = 0; x0 < inside; x0 += VARIOGRAM_CHUNK) {
                const int length = std::min(VARIOGRAM_CHUNK, inside - x0);
                const std::size_t p0 = line + static_cast<std::size_t>(x0);
                for (int h = 0; h < EDGE_LAGS; ++h) {
                    const std::size_t right = static_cast<std::size_t>(h) + 1;
                    const std::size_t below = right * w;
                    double* const a = along + h * VARIOGRAM_CHUNK;
                    double* const d = down + h * VARIOGRAM_CHUNK;
                    pairs[h] += variogram_terms(v + p0, gap_mask + p0, length, right, below, a, d);
                }
                for (int i = 0; i < length; ++i)
                    for (int h = 0; h < EDGE_LAGS; ++h)
                        sum[h] = (sum[h] + along[h * VARIOGRAM_CHUNK + i]) + down[h * VARIOGRAM_CHUNK + i];
            }
            for (int x = inside; x < width; ++x) {
                const std::size_t p = static_cast<std::size_t>(y) * w + static_cast<std::size_t>(x);
                if (gap_mask[p] != 0) continue;
                for (int h = 1; h <= EDGE_LAGS; ++h) {
                    if (x + h < width && gap_mask[p + h] == 0) {
                        const double d = v[p] - v[p + h];
                        sum[h - 1] += d * d;
                        ++pairs[h - 1];
                    }
                    if (y + h < rows && gap_mask[p + h * w] == 0) {
                        const double d = v[p] - v[p + h * w];
                        sum[h - 1] += d * d;
                        ++pairs[h - 1];
                    }
                }
            }
        }
        std::copy(sum, sum + EDGE_LAGS, by_band[b].sum);
        std::copy(pairs, pairs + EDGE_LAGS, by_band[b].pairs);
    };
    if (items)
        items(by_band.size(), band_sums);
    else
        for (std::size_t b = 0; b < by_band.size(); ++b) band_sums(b);
    int usable = 0;
    for (const BandSums& band : by_band) {
        const double* const sum = band.sum;
        const long long* const pairs = band.pairs;
        if (std::find(pairs, pairs + EDGE_LAGS, 0LL) != pairs + EDGE_LAGS) continue;
        const double last = sum[EDGE_LAGS - 1] / (2.0 * static_cast<double>(pairs[EDGE_LAGS - 1]));
        if (!(last > 0.0)) continue;
        for (int h = 0; h < EDGE_LAGS; ++h)
            gamma[h] += sum[h] / (2.0 * static_cast<double>(pairs[h])) / last;
        ++usable;
    }
    if (usable == 0) return false;
    for (int h = 0; h < EDGE_LAGS; ++h) gamma[h] /= usable;
    return true;
}

EdgeModel fit_edge_variogram(const double* gamma)
{
    EdgeModel best;
    double best_residual = std::numeric_limits<double>::infinity();
    const double step = std::pow(RANGE_LAST / RANGE_FIRST, 1.0 / (RANGE_STEPS - 1));
    for (int k = 0; k < RANGE_STEPS; ++k) {
        const double range = RANGE_FIRST * std::pow(step, k);
        double f[EDGE_LAGS];
        double sf = 0.0, sff = 0.0, sg = 0.0, sfg = 0.0;
        for (int h = 0; h < EDGE_LAGS; ++h) {
            f[h] = 1.0 - std::exp(-(h + 1) / range);
            sf += f[h];
            sff += f[h] * f[h];
            sg += gamma[h];
            sfg += f[h] * gamma[h];
        }
        const double n = EDGE_LAGS;
        double sill = (n * sfg - sf * sg) / (n * sff - sf * sf);
        double nugget = (sg - sill * sf) / n;
        if (!(nugget >= 0.0)) {
            nugget = 0.0;
            sill = sfg / sff;
        }
        if (!(sill > 0.0)) continue;
        double residual = 0.0;
        for (int h = 0; h < EDGE_LAGS; ++h) {
            const double r = nugget + sill * f[h] - gamma[h];
            residual += r * r;
        }
        if (residual < best_residual) {
            best_residual = residual;
            best.nugget = nugget / sill;
            best.range = range;
        }
    }
    return best;
}

EdgeModel fit_edge_model(const double* const* bands, int band_count,
                         const unsigned char* gap_mask, int width, int rows, int row_step,
                         const EdgeItems& items)
{
    double gamma[EDGE_LAGS];
    if (!edge_variogram(bands, band_count, gap_mask, width, rows, row_step, gamma, items))
        return EdgeModel{};
    return fit_edge_variogram(gamma);
}

EdgeInterpolator::EdgeInterpolator(const EdgeModel& model) : model_(model)
{
    correlation_.resize(static_cast<std::size_t>(TABLE_SIDE) * TABLE_SIDE);
    for (int dy = 0; dy < TABLE_SIDE; ++dy)
        for (int dx = 0; dx < TABLE_SIDE; ++dx)
            correlation_[static_cast<std::size_t>(dy) * TABLE_SIDE + dx] =
                std::exp(-std::sqrt(static_cast<double>(dy * dy + dx * dx)) / model_.range);
    correlation_[0] = 1.0 + std::max(model_.nugget, MIN_NUGGET);
}

double EdgeInterpolator::correlation(int dy, int dx) const
{
    return correlation_[static_cast<std::size_t>(std::abs(dy)) * TABLE_SIDE +
                        static_cast<std::size_t>(std::abs(dx))];
}

int EdgeInterpolator::weights(const unsigned char* gap_mask, int width, int rows, std::size_t pos,
                              int exclude, int quota, std::size_t* at, double* weight,
                              EdgeWeightCache* cache) const
{
    constexpr int N = EDGE_NEIGHBOURS;
    const std::size_t w = static_cast<std::size_t>(width);
    const int y = static_cast<int>(pos / w);
    const int x = static_cast<int>(pos % w);

    // The known pixels taken, nearest first, up to the quota of each octant:
    // each octant's own, then all in the search order. Pixels of an octant
    // lie within its bound or outside the strip.
    int bound[8];
    octant_bounds(width - 1 - x, rows - 1 - y, x, y, bound);
    const std::vector<Offset>* orders = octant_orders();
    quota = std::clamp(quota, 0, EDGE_OCTANT_QUOTA);  // room for EDGE_NEIGHBOURS
    const Offset* taken[N];
    int n = 0;
    int run_end[9] = {};  // octant k's pixels: taken[run_end[k] .. run_end[k + 1] - 1]
    // Offsets no farther than the nearest side of the strip lie inside it,
    // and those left out (fewer than `exclude` rows and columns away) lie
    // nearer than sqrt(2) * exclude: the tests that cannot fail are not made.
    const int side = std::min(std::min(x, width - 1 - x), std::min(y, rows - 1 - y));
    const int inside2 = side * side;
    const int left_out2 = 2 * exclude * exclude;
    const std::ptrdiff_t row_step = static_cast<std::ptrdiff_t>(width);
    const unsigned char* const here = gap_mask + pos;
    for (int k = 0; k < 8; ++k) {
        int got = 0;
        for (const Offset& o : orders[k]) {
            if (got == quota || o.distance2 > bound[k]) break;
            if (o.distance2 < left_out2 && std::abs(o.dy) < exclude && std::abs(o.dx) < exclude) continue;
            if (o.distance2 > inside2) {
                const int yy = y + o.dy;
                const int xx = x + o.dx;
                if (yy < 0 || yy >= rows || xx < 0 || xx >= width) continue;
            }
            if (here[o.dy * row_step + o.dx] != 0) continue;
            taken[n++] = &o;
            ++got;
        }
        run_end[k + 1] = n;
    }
    // Each octant's pixels are in the search order already: the eight runs
    // merged in pairs, then the pairs, then the halves (the ranks differ).
    const Offset* merged[N];
#if defined(__x86_64__) || defined(__i386__)
    static const bool avx512 = simd_path_supported(SIMD_AVX512);
    if (avx512 && edge_simd_limit.load(std::memory_order_relaxed) >= SIMD_AVX512) {
        order_by_rank_avx512(taken, n, merged);
        std::copy(merged, merged + n, taken);
    } else
#endif
    {
        const auto by_rank = [](const Offset* a, const Offset* b) { return a->rank < b->rank; };
        for (int span = 1; span < 8; span *= 2) {
            for (int k = 0; k < 8; k += 2 * span)
                std::merge(taken + run_end[k], taken + run_end[k + span], taken + run_end[k + span],
                           taken + run_end[k + 2 * span], merged + run_end[k], by_rank);
            std::copy(merged, merged + n, taken);
        }
    }
    int dy[N], dx[N];
    for (int k = 0; k < n; ++k) {
        dy[k] = taken[k]->dy;
        dx[k] = taken[k]->dx;
        at[k] = static_cast<std::size_t>(y + dy[k]) * w + static_cast<std::size_t>(x + dx[k]);
    }
    if (n == 0) return 0;
    if (cache == nullptr) {
        solve(dy, dx, n, weight);
        return n;
    }
    if (cache->model_.nugget != model_.nugget || cache->model_.range != model_.range) {
        // The entries of the model before are left as they are, marked old
        // by their generation: clearing them all cost a pass over the cache
        // for each model.
        cache->model_ = model_;
        ++cache->generation_;
    }
    // FNV-1a over the offsets, the usual cheap hash with well-mixed low bits.
    std::int16_t offset[N];
    std::uint32_t hash = 2166136261u;
    for (int k = 0; k < n; ++k) {
        offset[k] = static_cast<std::int16_t>(dy[k] * OFFSET_BASE + dx[k]);
        hash = (hash ^ static_cast<std::uint16_t>(offset[k])) * 16777619u;
    }
    const std::size_t pair = hash % (EdgeWeightCache::SLOTS / 2);
    EdgeWeightCache::Entry* const ways = &cache->entries_[2 * pair];
    auto holds = [&](const EdgeWeightCache::Entry& e) {
        return e.n == n && e.generation == cache->generation_ && std::equal(offset, offset + n, e.offset);
    };
    int way = holds(ways[0]) ? 0 : holds(ways[1]) ? 1 : -1;
    if (way < 0) {
        way = cache->recent_[pair] ^ 1;
        EdgeWeightCache::Entry& entry = ways[way];
        solve(dy, dx, n, entry.weight);
        entry.n = n;
        entry.generation = cache->generation_;
        std::copy(offset, offset + n, entry.offset);
    }
    cache->recent_[pair] = static_cast<unsigned char>(way);
    std::copy(ways[way].weight, ways[way].weight + n, weight);
    return n;
}

void EdgeInterpolator::solve(const int* dy, const int* dx, int n, double* weight) const
{
    constexpr int N = EDGE_NEIGHBOURS;
    double l[N * N];
    for (int c = 0; c < n; ++c)
        for (int r = c; r < n; ++r) l[c * N + r] = correlation(dy[r] - dy[c], dx[r] - dx[c]);
    factor_columns(l, n);
    // lambda = C^-1 c0 and nu = C^-1 1: forward substitution column by
    // column (each entry's terms again in the order of k), then back
    // substitution row by row.
    double lambda[N], nu[N];
    for (int r = 0; r < n; ++r) {
        lambda[r] = correlation(dy[r], dx[r]);
        nu[r] = 1.0;
    }
    for (int k = 0; k < n; ++k) {
        const double* column = l + k * N;
        lambda[k] /= column[k];
        nu[k] /= column[k];
        for (int r = k + 1; r < n; ++r) {
            lambda[r] -= column[r] * lambda[k];
            nu[r] -= column[r] * nu[k];
        }
    }
    for (int r = n - 1; r >= 0; --r) {
        const double* column = l + r * N;
        double s = lambda[r];
        double t = nu[r];
        for (int k = r + 1; k < n; ++k) {
            s -= column[k] * lambda[k];
            t -= column[k] * nu[k];
        }
        lambda[r] = s / column[r];
        nu[r] = t / column[r];
    }
    // The weights sum to 1: w = lambda + mu nu.
    double sum_lambda = 0.0, sum_nu = 0.0;
    for (int k = 0; k < n; ++k) {
        sum_lambda += lambda[k];
        sum_nu += nu[k];
    }
    const double mu = (1.0 - sum_lambda) / sum_nu;
    for (int k = 0; k < n; ++k) weight[k] = lambda[k] + mu * nu[k];
}

std::size_t EdgeInterpolator::predict(const double* const* bands, int band_count,
                                      const unsigned char* gap_mask, int width, int rows,
                                      const std::size_t* positions, std::size_t count,
                                      double* values, double* spread,
                                      const double* const* known_error, double* carried) const
{
    constexpr int N = EDGE_NEIGHBOURS;
    const std::size_t nb = static_cast<std::size_t>(std::max(band_count, 0));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::size_t missed = 0;
    EdgeWeightCache& cache = EdgeWeightCache::of_this_thread();
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t at[N];
        double weight[N];
        const int n =
            weights(gap_mask, width, rows, positions[i], 1, EDGE_OCTANT_QUOTA, at, weight, &cache);
        double* out = values + i * nb;
        double* out_spread = spread != nullptr ? spread + i * nb : nullptr;
        if (n == 0) {
            std::fill(out, out + nb, nan);
            if (out_spread != nullptr) std::fill(out_spread, out_spread + nb, nan);
            if (carried != nullptr) std::fill(carried + i * nb, carried + (i + 1) * nb, nan);
            ++missed;
            continue;
        }
        double sum_abs = 0.0;
        for (int k = 0; k < n; ++k) sum_abs += std::fabs(weight[k]);

        for (std::size_t b = 0; b < nb; ++b) {
            const double* v = bands[b];
            double value = 0.0;
            for (int k = 0; k < n; ++k) value += weight[k] * v[at[k]];
            out[b] = value;
            if (out_spread != nullptr) {
                double s = 0.0;
                for (int k = 0; k < n; ++k) {
                    const double d = v[at[k]] - value;
                    s += std::fabs(weight[k]) * d * d;
                }
                out_spread[b] = s / sum_abs;
            }
            if (known_error != nullptr && carried != nullptr) {
                double e = 0.0;
                for (int k = 0; k < n; ++k) {
                    const double x = known_error[b][at[k]];
                    if (std::isfinite(x)) e += std::fabs(weight[k]) * x;
                }
                carried[i * nb + b] = e * e;
            }
        }
    }
    return missed;
}

}  // namespace pelvane
