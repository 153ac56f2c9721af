// The band sweep in portable C++ (GCC and Clang vector extensions): the same
// arithmetic lane by lane. Runs on any processor.
#include <cmath>
#include <cstddef>
#include <cstring>

#include "solver/skewed_sweep.h"

namespace pelvane {
namespace {

// Eight doubles as one vector of the compiler's vector extension: the
// compiler lowers it to whatever the target has (SSE2 on any x86-64), lane
// by lane IEEE arithmetic as in scalar code.
// Passing these by value between internal functions is no ABI matter.
#pragma GCC diagnostic ignored "-Wpsabi"
using Doubles = double __attribute__((vector_size(64)));
using Longs = long long __attribute__((vector_size(64)));

struct GenericLanes {
    using Mask = Longs;
    Doubles v;

    static GenericLanes load(const double* p) {
        GenericLanes r;
        std::memcpy(&r.v, p, sizeof r.v);
        return r;
    }
    static void store(double* p, const GenericLanes& a) { std::memcpy(p, &a.v, sizeof a.v); }
    static void store_last(double* p, const GenericLanes& a) { *p = a.v[SWEEP_LANES - 1]; }
    static void stream(double* p, const GenericLanes& a) { store(p, a); }
    static void fence() {}
    static GenericLanes set1(double x) { return {Doubles{} + x}; }
    static GenericLanes zero() { return {Doubles{}}; }
    static GenericLanes sqrt(const GenericLanes& a) {
        GenericLanes r;
        for (int j = 0; j < SWEEP_LANES; ++j) r.v[j] = std::sqrt(a.v[j]);
        return r;
    }
    static GenericLanes neg(const GenericLanes& a) { return {-a.v}; }
    static Mask gt(const GenericLanes& a, const GenericLanes& b) { return a.v > b.v; }
    static Mask lt(const GenericLanes& a, const GenericLanes& b) { return a.v < b.v; }
    static Mask mask(unsigned bits) {
        const Longs lane_bit = {1, 2, 4, 8, 16, 32, 64, 128};
        return ((Longs{} + static_cast<long long>(bits)) & lane_bit) != 0;
    }
    static bool any(const Mask& m) {
        long long all = 0;
        for (int j = 0; j < SWEEP_LANES; ++j) all |= m[j];
        return all != 0;
    }
    static GenericLanes keep(const Mask& m, const GenericLanes& a) { return {m ? a.v : Doubles{}}; }
    static GenericLanes select(const Mask& m, const GenericLanes& a, const GenericLanes& b) {
        return {m ? a.v : b.v};
    }
    static void transpose(GenericLanes m[SWEEP_LANES]) {
        for (int i = 0; i < SWEEP_LANES; ++i)
            for (int j = i + 1; j < SWEEP_LANES; ++j) {
                const double t = m[i].v[j];
                m[i].v[j] = m[j].v[i];
                m[j].v[i] = t;
            }
    }
    static GenericLanes shift_north(const GenericLanes& prev, const GenericLanes& above) {
        const Doubles& p = prev.v;
        return {Doubles{above.v[7], p[0], p[1], p[2], p[3], p[4], p[5], p[6]}};
    }
    static GenericLanes shift_south(const GenericLanes& next, const GenericLanes& below) {
        const Doubles& n = next.v;
        return {Doubles{n[1], n[2], n[3], n[4], n[5], n[6], n[7], below.v[0]}};
    }
};

inline GenericLanes operator+(const GenericLanes& a, const GenericLanes& b) { return {a.v + b.v}; }
inline GenericLanes operator-(const GenericLanes& a, const GenericLanes& b) { return {a.v - b.v}; }
inline GenericLanes operator*(const GenericLanes& a, const GenericLanes& b) { return {a.v * b.v}; }
inline GenericLanes operator/(const GenericLanes& a, const GenericLanes& b) { return {a.v / b.v}; }

}  // namespace
}  // namespace pelvane

#include "solver/skewed_sweep_kernel.h"

namespace pelvane {

SweepKernels sweep_kernels_generic() { return kernels_with<GenericLanes>(); }

}  // namespace pelvane
