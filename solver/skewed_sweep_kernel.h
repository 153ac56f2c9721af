// The band sweep, written once over a lane type V of eight doubles and
// compiled once per instruction set: each solver/skewed_sweep_<isa>.cpp
// includes its standard headers, switches the compiler's target, defines V and
// then includes this file. Everything here sits in an unnamed namespace, so
// that code built for one target never stands in for another at link time.
//
// V provides: V::load, V::store, V::store_last (lane 7 alone), V::stream (a
// store past the caches, to a 64-byte boundary), V::fence (orders those
// stores), V::set1, V::zero, + - * /, V::sqrt, V::neg (sign flip), V::gt and
// V::lt (ordered compares giving a V::Mask), V::mask(bits) (lane j set when
// bit j is), V::select(mask, a, b) (a where set), V::keep(mask, a) (a where
// set, +0.0 elsewhere: a bitwise and, lighter than a select), V::any(mask),
// V::transpose(V m[8]) (m[i] lane j becomes m[j] lane i),
// V::shift_north(prev, above) (lane 0 from above's lane 7, lane j from prev's
// lane j - 1) and V::shift_south(next, below) (lane 7 from below's lane 0,
// lane j from next's lane j + 1).
//
// Per element the arithmetic is that of d_step, u_step_gauss_seidel and
// z_step_laplace / z_step_poisson, operand for operand: the values are the
// same bits. Where a border rule of those kernels takes a different operand
// (the pixel's own value for a missing neighbour, zero for a missing
// difference), the lanes at the border select it.

namespace pelvane {
namespace {

// One run of steps of a band. ROW_EDGE: the band holds the first or the last row.
template <class V, int MODEL, bool ROW_EDGE>
class BandSweep {
public:
    BandSweep(const SweepBand& band, const SweepConstants& constants)
        : n_(band), width_(band.width), shrink_t_(constants.shrink_t),
          shrink_t2_(constants.shrink_t2), alpha_(constants.alpha),
          denominator_(constants.denominator) {
        if (ROW_EDGE) {
            row0_bits_ = band.first_band ? 1u : 0u;
            // The last real row and the padding rows below it.
            last_row_bits_ = band.last_band ? (0xffu << (band.rows - 1)) & 0xffu : 0u;
        }
    }

    // The values carried from step to step are locals, so that they stay in
    // registers: the stores of the sweep cannot alias them.
    __attribute__((always_inline)) inline void run() {
        const std::ptrdiff_t w = width_;
        const std::ptrdiff_t steps = w + L - 1;
        // In steps 8 .. w - 2 every lane is an interior column.
        const std::ptrdiff_t main_begin = steps < L ? steps : L;
        const std::ptrdiff_t main_end = w - 1 > main_begin ? w - 1 : main_begin;

        const SweepBand& n = n_;
        const std::ptrdiff_t begin = n.begin, end = n.end;
        Carried c;
        c.cur = V::load(n.u + begin * L);
        if (begin == 0) {
            c.prev_u = c.prev_dtx = c.prev_dty = V::zero();
        } else {
            // The new u of the step before is in place; its dtilde was carried.
            c.prev_u = V::load(n.u + (begin - 1) * L);
            c.prev_dtx = V::load(n.carry);
            c.prev_dty = V::load(n.carry + L);
        }
        std::ptrdiff_t t = begin;
        for (; t < end && t < main_begin; ++t) step<true>(n, c, t);
        for (; t < end && t < main_end; ++t) step<false>(n, c, t);
        for (; t < end; ++t) step<true>(n, c, t);
        V::store(n.carry, c.prev_dtx);
        V::store(n.carry + L, c.prev_dty);
        V::fence();
    }

private:
    static constexpr int K = sweep_state_vectors(MODEL);
    static constexpr std::ptrdiff_t L = SWEEP_LANES;

    struct Carried {
        V cur, prev_u, prev_dtx, prev_dty;
    };

    // The streams of a step a few steps ahead, so their cache lines are on
    // the way when the step comes: a run starts where the last run of this
    // band left off, long enough ago for the lines to have left the caches.
    // Only hints: nothing read changes.
    static constexpr std::ptrdiff_t AHEAD = 8;
    __attribute__((always_inline)) static inline void prefetch_ahead(const SweepBand& n,
                                                                     std::ptrdiff_t t) {
        const std::ptrdiff_t a = t + AHEAD;
        __builtin_prefetch(n.u_above + (a + L - 1) * L);
        __builtin_prefetch(n.u_below + (a - (L - 1)) * L);
        __builtin_prefetch(n.u + (a + 1) * L);
        const double* state = n.state + a * K * L;
        for (int line = 0; line < K; ++line) __builtin_prefetch(state + line * L, 1);
        __builtin_prefetch(n.aux + a * 2 * L);
        __builtin_prefetch(n.aux + a * 2 * L + L);
    }

    template <bool COL_EDGE>
    __attribute__((always_inline)) inline void step(const SweepBand& n, Carried& c,
                                                    std::ptrdiff_t t) {
        const V zero = V::zero();
        unsigned first_bits = 0, last_bits = 0;
        if (COL_EDGE) {
            if (t < L) first_bits = 1u << t;
            const std::ptrdiff_t last_lane = t - (width_ - 1);
            if (last_lane >= 0 && last_lane < L) last_bits = 1u << last_lane;
        }
        const typename V::Mask first_col = V::mask(first_bits);
        const typename V::Mask last_col = V::mask(last_bits);
        const typename V::Mask border_col = V::mask(first_bits | last_bits);
        const typename V::Mask row0 = V::mask(row0_bits_);
        const typename V::Mask last_row = V::mask(last_row_bits_);
        const V cur = c.cur;

        double* st = n.state + t * K * L;
        prefetch_ahead(n, t);
        const V next = V::load(n.u + (t + 1) * L);  // old u one column east
        const V south = V::shift_south(next, V::load(n.u_below + (t - (L - 1)) * L));

        // d_step: g = grad u + (d - dtilde), shrunk by 1/gamma1. A part
        // without a forward difference is held at zero.
        V gx = V::load(st) + (next - cur);
        V gy = V::load(st + L) + (south - cur);
        if (COL_EDGE && last_bits != 0) gx = V::select(last_col, zero, gx);
        if (ROW_EDGE && last_row_bits_ != 0) gy = V::select(last_row, zero, gy);
        const V m2 = gx * gx + gy * gy;
        const typename V::Mask shrink = V::gt(m2, V::set1(shrink_t2_));
        V dx, dy, dtx, dty;
        if (V::any(shrink)) {
            const V s = V::set1(1.0) - V::set1(shrink_t_) / V::sqrt(m2);
            const V sx = s * gx;
            const V sy = s * gy;
            const V two = V::set1(2.0);
            dx = V::keep(shrink, sx);
            dy = V::keep(shrink, sy);
            dtx = V::select(shrink, two * sx - gx, V::neg(gx));
            dty = V::select(shrink, two * sy - gy, V::neg(gy));
        } else {
            dx = dy = zero;
            dtx = V::neg(gx);
            dty = V::neg(gy);
        }
        if (COL_EDGE && last_bits != 0) {
            dx = V::select(last_col, zero, dx);
            dtx = V::select(last_col, zero, dtx);
        }
        if (ROW_EDGE && last_row_bits_ != 0) {
            dy = V::select(last_row, zero, dy);
            dty = V::select(last_row, zero, dty);
        }
        V::store(st, dx - dtx);
        V::store(st + L, dy - dty);
        V::store_last(n.dty_row + t, dty);

        // Gauss-Seidel: new west and north from the previous step, old east
        // and south from memory; a missing neighbour is the old value itself.
        const double* aux = n.aux + t * 2 * L;
        V weighted, denominator, zt;
        if (MODEL == SWEEP_GAUSSIAN) {
            const V alpha = V::load(aux + L);
            weighted = alpha * V::load(aux);
            denominator = alpha + V::set1(4.0);
        } else {
            zt = V::load(st + 3 * L);
            weighted = V::set1(alpha_) * zt;
            denominator = V::set1(denominator_);
        }
        V div_x = c.prev_dtx - dtx;
        if (COL_EDGE && (first_bits | last_bits) != 0) div_x = V::select(border_col, zero, div_x);
        // The band above's dtilde.y: only its lane 7 is shifted in.
        V dty_north = V::shift_north(c.prev_dty, V::set1(n.dty_row_above[t + L - 1]));
        if (ROW_EDGE && row0_bits_ != 0) dty_north = V::select(row0, dty, dty_north);
        const V div_y = dty_north - dty;

        V west = c.prev_u;
        if (COL_EDGE && first_bits != 0) west = V::select(first_col, cur, west);
        V east = next;
        if (COL_EDGE && last_bits != 0) east = V::select(last_col, cur, east);
        V north = V::shift_north(c.prev_u, V::load(n.u_above + (t + L - 1) * L));
        if (ROW_EDGE && row0_bits_ != 0) north = V::select(row0, cur, north);
        V south_u = south;
        if (ROW_EDGE && last_row_bits_ != 0) south_u = V::select(last_row, cur, south_u);

        const V u_new =
            ((((((weighted + west) + east) + north) + south_u) + div_x) + div_y) / denominator;
        if (n.checkpoint != nullptr) V::stream(n.checkpoint + t * L, cur);
        V::store(n.u + t * L, u_new);

        // z-step of the data term.
        if (MODEL != SWEEP_GAUSSIAN) {
            const V z = V::load(st + 2 * L);
            const V f = V::load(aux);
            const V th = V::load(aux + L);
            V z_new;
            if (MODEL == SWEEP_LAPLACE) {
                const V g = ((u_new - f) + z) - zt;
                const V fg = f + g;
                z_new = V::select(V::gt(g, th), fg - th,
                                  V::select(V::lt(g, V::neg(th)), fg + th, f));
            } else {
                // Halving by multiplication is exact, as the division is.
                const V h = (((u_new + z) - zt) - th) * V::set1(0.5);
                V radicand = h * h + th * f;
                radicand = V::select(V::lt(radicand, zero), zero, radicand);
                z_new = h + V::sqrt(radicand);
            }
            V::store(st + 3 * L, ((zt + V::set1(2.0) * z_new) - z) - u_new);
            V::store(st + 2 * L, z_new);
        }

        c.prev_u = u_new;
        c.prev_dtx = dtx;
        c.prev_dty = dty;
        c.cur = next;
    }

    const SweepBand n_;
    const int width_;
    const double shrink_t_, shrink_t2_, alpha_, denominator_;
    unsigned row0_bits_ = 0;
    unsigned last_row_bits_ = 0;
};

template <class V, int MODEL>
void sweep_model(const SweepBand& band, const SweepConstants& constants) {
    if (band.first_band || band.last_band)
        BandSweep<V, MODEL, true>(band, constants).run();
    else
        BandSweep<V, MODEL, false>(band, constants).run();
}

template <class V>
void sweep_band_with(const SweepBand& band, const SweepConstants& constants) {
    switch (constants.model) {
    case SWEEP_GAUSSIAN:
        sweep_model<V, SWEEP_GAUSSIAN>(band, constants);
        break;
    case SWEEP_LAPLACE:
        sweep_model<V, SWEEP_LAPLACE>(band, constants);
        break;
    default:
        sweep_model<V, SWEEP_POISSON>(band, constants);
        break;
    }
}

// Skewing reads row j at columns t0 - j .. t0 - j + 7 for the eight steps
// from t0: a transpose of those eight rows gives the eight steps.
template <class V>
void skew_band_with(const double* src, std::ptrdiff_t src_stride, int rows, int width,
                    double* dst, std::ptrdiff_t dst_stride, bool divide, double divisor) {
    constexpr std::ptrdiff_t L = SWEEP_LANES;
    const std::ptrdiff_t w = width;
    const std::ptrdiff_t steps = w + L - 1;
    V m[L];
    for (std::ptrdiff_t t0 = 0; t0 < steps; t0 += L) {
        if (t0 >= L - 1 && t0 + L <= w) {
            for (std::ptrdiff_t j = 0; j < L; ++j)
                m[j] = j < rows ? V::load(src + j * src_stride + t0 - j) : V::zero();
        } else {
            alignas(64) double block[L][L];
            for (std::ptrdiff_t j = 0; j < L; ++j)
                for (std::ptrdiff_t i = 0; i < L; ++i) {
                    const std::ptrdiff_t x = t0 + i - j;
                    block[j][i] = j < rows && x >= 0 && x < w ? src[j * src_stride + x] : 0.0;
                }
            for (std::ptrdiff_t j = 0; j < L; ++j) m[j] = V::load(block[j]);
        }
        V::transpose(m);
        for (std::ptrdiff_t i = 0; i < L; ++i)
            V::store(dst + (t0 + i) * dst_stride, divide ? m[i] / V::set1(divisor) : m[i]);
    }
}

// Four doubles in one vector of the compiler's vector extension: one register
// on AVX2 and AVX-512, two on the portable build.
using Quad = double __attribute__((vector_size(32)));
using QuadIndex = long long __attribute__((vector_size(32)));

inline void load_quad(Quad& q, const double* p) { __builtin_memcpy(&q, p, sizeof q); }

// A 4 x 4 transpose: q[k] lane c becomes q[c] lane k.
__attribute__((always_inline)) inline void transpose_quads(Quad q[4]) {
    const Quad t0 = __builtin_shuffle(q[0], q[1], QuadIndex{0, 4, 2, 6});
    const Quad t1 = __builtin_shuffle(q[0], q[1], QuadIndex{1, 5, 3, 7});
    const Quad t2 = __builtin_shuffle(q[2], q[3], QuadIndex{0, 4, 2, 6});
    const Quad t3 = __builtin_shuffle(q[2], q[3], QuadIndex{1, 5, 3, 7});
    q[0] = __builtin_shuffle(t0, t2, QuadIndex{0, 1, 4, 5});
    q[1] = __builtin_shuffle(t1, t3, QuadIndex{0, 1, 4, 5});
    q[2] = __builtin_shuffle(t0, t2, QuadIndex{2, 3, 6, 7});
    q[3] = __builtin_shuffle(t1, t3, QuadIndex{2, 3, 6, 7});
}

// Adds the squared changes of four chains over four elements at e: chain c
// goes from from[c] to to[c]. sum lane c is chain c's sum; each lane takes
// its four squares in element order.
__attribute__((always_inline)) inline void add_four(Quad& sum, const double* const* from,
                                                    const double* const* to, std::size_t e) {
    Quad q[4];
#pragma GCC unroll 4
    for (int c = 0; c < 4; ++c) {
        Quad after, before;
        load_quad(after, to[c] + e);
        load_quad(before, from[c] + e);
        const Quad change = after - before;
        q[c] = change * change;
    }
    // Now q[k] holds element e + k of every chain.
    transpose_quads(q);
    sum += q[0];
    sum += q[1];
    sum += q[2];
    sum += q[3];
}

// The squared changes of `chains` iterations (1 to 8) over `count` elements
// added to sums[c], each chain in element order: chain c changes the image
// from image (c = 0) or changed[c - 1] to changed[c]. Then copies the last
// iterate to image. Chains go four to a vector, so four additions advance
// together; a group's missing chains add zero changes.
void add_changes_with(double* image, const double* const* changed, int chains,
                      std::size_t count, double* sums) {
    const double* from[8];
    const double* to[8];
    for (int c = 0; c < 8; ++c) {
        const int real = c < chains ? c : chains - 1;
        to[c] = changed[real];
        from[c] = c == 0 ? image : c < chains ? changed[c - 1] : changed[real];
    }
    // group[0]: chains 0 to 3, group[1]: chains 4 to 7. Indexed, not picked
    // by a conditional: GCC 12 with the sanitizers lost the additions to a
    // vector chosen by `?:`.
    Quad group[2] = {};
    for (int c = 0; c < chains; ++c) group[c / 4][c % 4] = sums[c];
    // The last iterate replaces the image's elements once they are read.
    const double* last = changed[chains - 1];
    std::size_t e = 0;
    if (chains <= 4) {
        for (; e + 4 <= count; e += 4) {
            add_four(group[0], from, to, e);
            __builtin_memcpy(image + e, last + e, 4 * sizeof(double));
        }
    } else {
        for (; e + 4 <= count; e += 4) {
            add_four(group[0], from, to, e);
            add_four(group[1], from + 4, to + 4, e);
            __builtin_memcpy(image + e, last + e, 4 * sizeof(double));
        }
    }
    for (int c = 0; c < chains; ++c) {
        double s = group[c / 4][c % 4];
        for (std::size_t i = e; i < count; ++i) {
            const double change = to[c][i] - from[c][i];
            s += change * change;
        }
        sums[c] = s;
    }
    for (; e < count; ++e) image[e] = last[e];
}

// Unskewing four steps at a time: each half of a step (lanes 0..3, 4..7) is
// a quad, and a 4 x 4 transpose of four steps' halves gives four rows of four
// columns, all in registers. At the band's ends and in short bands: four
// steps from t0 of rows j0 .. j0 + 3 (those below `rows`), with every column
// checked against the image.
__attribute__((noinline)) void unskew_four_at_edge(const double* src, std::ptrdiff_t src_stride,
                                                   int rows, std::ptrdiff_t w, double* dst,
                                                   std::ptrdiff_t dst_stride, std::ptrdiff_t t0,
                                                   int j0) {
    for (int k = 0; k < 4 && j0 + k < rows; ++k) {
        const std::ptrdiff_t j = j0 + k;
        for (std::ptrdiff_t i = 0; i < 4; ++i) {
            const std::ptrdiff_t x = t0 + i - j;
            if (x >= 0 && x < w) dst[j * dst_stride + x] = src[(t0 + i) * src_stride + j];
        }
    }
}

void unskew_band_quads(const double* src, std::ptrdiff_t src_stride, int rows, int width,
                       double* dst, std::ptrdiff_t dst_stride) {
    constexpr std::ptrdiff_t L = SWEEP_LANES;
    const std::ptrdiff_t w = width;
    const std::ptrdiff_t steps = w + L - 1;
    for (std::ptrdiff_t t0 = 0; t0 < steps; t0 += 4) {
        // Every row's four columns t0 - j .. t0 + 3 - j inside the image.
        if (rows == L && t0 >= L - 1 && t0 + 4 <= w) {
#pragma GCC unroll 2
            for (int j0 = 0; j0 < L; j0 += 4) {
                Quad q[4];
#pragma GCC unroll 4
                for (int i = 0; i < 4; ++i) load_quad(q[i], src + (t0 + i) * src_stride + j0);
                transpose_quads(q);
                // q[k]: row j0 + k from column t0 - j0 - k.
#pragma GCC unroll 4
                for (int k = 0; k < 4; ++k)
                    __builtin_memcpy(dst + (j0 + k) * dst_stride + t0 - j0 - k, &q[k], sizeof q[k]);
            }
        } else {
            for (int j0 = 0; j0 < rows; j0 += 4)
                unskew_four_at_edge(src, src_stride, rows, w, dst, dst_stride, t0, j0);
        }
    }
}

template <class V>
SweepKernels kernels_with() {
    return SweepKernels{sweep_band_with<V>, skew_band_with<V>, unskew_band_quads,
                        add_changes_with};
}

}  // namespace
}  // namespace pelvane
