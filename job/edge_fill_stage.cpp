#include "job/edge_fill_stage.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <vector>

#include "solver/edge_interpolation.h"
#include "solver/hole_copies.h"
#include "solver/push_pull.h"

namespace pelvane {

namespace {

// Pixels per chunk: tens of milliseconds of work, so a stop is heard soon.
constexpr std::size_t CHUNK_PIXELS = 2048;

std::vector<std::size_t> marked_positions(const unsigned char* mask, std::size_t pixels)
{
    std::vector<std::size_t> positions;
    for (std::size_t p = 0; p < pixels; ++p)
        if (mask[p] != 0) positions.push_back(p);
    return positions;
}

// The interpolation at `positions`, in chunks on the pool; false when stopped.
bool predict_on_pool(WorkerPool& pool, JobHost& host, const EdgeInterpolator& interpolator,
                     const BandStack& bands, const unsigned char* gap_mask, int width, int rows,
                     const std::vector<std::size_t>& positions, std::vector<double>& values,
                     std::vector<double>* spread, const BandStack* known_error = nullptr,
                     std::vector<double>* carried = nullptr)
{
    const std::size_t nb = static_cast<std::size_t>(bands.band_count());
    values.resize(positions.size() * nb);
    if (spread != nullptr) spread->resize(positions.size() * nb);
    if (carried != nullptr) carried->resize(positions.size() * nb);
    const std::size_t chunks = (positions.size() + CHUNK_PIXELS - 1) / CHUNK_PIXELS;
    WorkerPool::Hooks hooks;
    hooks.finished = [&](std::size_t) { return !host.stop_requested(); };
    hooks.poll = [&] {
        host.keep_alive();
        return !host.stop_requested();
    };
    return pool.run(
        chunks, pool.threads(),
        [&](std::size_t chunk, int) {
            const std::size_t first = chunk * CHUNK_PIXELS;
            const std::size_t count = std::min(CHUNK_PIXELS, positions.size() - first);
            interpolator.predict(bands.bands(), bands.band_count(), gap_mask, width, rows,
                                 positions.data() + first, count, values.data() + first * nb,
                                 spread != nullptr ? spread->data() + first * nb : nullptr,
                                 known_error != nullptr ? known_error->bands() : nullptr,
                                 carried != nullptr ? carried->data() + first * nb : nullptr);
        },
        hooks);
}

// Per band: the summed squared errors over the summed spreads at the copies
// (in raster order), or 1 where nothing was measured.
std::vector<double> error_scales(const BandStack& filled, const std::vector<std::size_t>& copies,
                                 const std::vector<double>& values, const std::vector<double>& spread)
{
    const std::size_t nb = static_cast<std::size_t>(filled.band_count());
    std::vector<double> scales(nb, 1.0);
    for (std::size_t b = 0; b < nb; ++b) {
        double squares = 0.0, spreads = 0.0;
        for (std::size_t i = 0; i < copies.size(); ++i) {
            const double v = values[i * nb + b];
            if (std::isnan(v)) continue;
            const double e = v - filled.band(static_cast<int>(b))[copies[i]];
            squares += e * e;
            spreads += spread[i * nb + b];
        }
        if (spreads > 0.0 && std::isfinite(squares)) scales[b] = squares / spreads;
    }
    return scales;
}

// The standard deviation of a band over the pixels that are not holes.
double band_deviation(const double* band, const unsigned char* holes, std::size_t pixels)
{
    double sum = 0.0, squares = 0.0, n = 0.0;
    for (std::size_t p = 0; p < pixels; ++p)
        if (holes[p] == 0) {
            sum += band[p];
            n += 1.0;
        }
    if (n < 1.0) return 0.0;
    const double mean = sum / n;
    for (std::size_t p = 0; p < pixels; ++p)
        if (holes[p] == 0) squares += (band[p] - mean) * (band[p] - mean);
    return std::sqrt(squares / n);
}

}  // namespace

JobResult run_edge_fill_stage(WorkerPool& pool, JobHost& host, const EdgeFillBuffers& s)
{
    const int bands = s.filled.band_count();
    const std::size_t pixels = static_cast<std::size_t>(s.width) * static_cast<std::size_t>(s.rows);
    if (bands < 1 || pixels == 0) return {};
    const std::size_t nb = static_cast<std::size_t>(bands);
    const bool want_error = s.standard_error != nullptr && s.sites != nullptr;

    const EdgeInterpolator interpolator(fit_edge_model(
        s.filled.bands(), bands, s.holes, s.width, s.rows, EDGE_VARIOGRAM_ROW_STEP,
        [&](std::size_t count, const std::function<void(std::size_t)>& work) {
            pool.run(count, pool.threads(), [&](std::size_t band, int) { work(band); });
        }));
    const std::vector<std::size_t> holes = marked_positions(s.holes, pixels);
    std::vector<double> values, spread, carried;
    const bool carry = want_error && s.known_error != nullptr;
    if (!predict_on_pool(pool, host, interpolator, s.filled, s.holes, s.width, s.rows, holes,
                         values, want_error ? &spread : nullptr, carry ? s.known_error : nullptr,
                         carry ? &carried : nullptr))
        return JobResult::stopped();

    // The error scales come from copies of the holes, filled while the
    // strip still holds the copies' own values.
    std::vector<double> scales(nb, 1.0);
    if (want_error) {
        std::vector<unsigned char> copy_mask(pixels);
        place_hole_copies(s.holes, s.sites, s.width, s.rows, EDGE_COPY_PIXELS, copy_mask.data());
        const std::vector<std::size_t> copies = marked_positions(copy_mask.data(), pixels);
        for (std::size_t p = 0; p < pixels; ++p) copy_mask[p] |= s.holes[p];
        std::vector<double> copy_values, copy_spread;
        if (!predict_on_pool(pool, host, interpolator, s.filled, copy_mask.data(), s.width,
                             s.rows, copies, copy_values, &copy_spread))
            return JobResult::stopped();
        scales = error_scales(s.filled, copies, copy_values, copy_spread);
    }

    std::vector<unsigned char> beyond(pixels, 0);
    bool any_beyond = false;
    for (std::size_t i = 0; i < holes.size(); ++i) {
        if (std::isnan(values[i * nb])) {
            beyond[holes[i]] = 1;
            any_beyond = true;
            continue;
        }
        for (std::size_t b = 0; b < nb; ++b) s.filled.band(static_cast<int>(b))[holes[i]] = values[i * nb + b];
    }
    if (any_beyond)
        for (int b = 0; b < bands; ++b) push_pull_fill(s.filled.band(b), beyond.data(), s.width, s.rows);

    if (want_error) {
        for (int b = 0; b < bands; ++b) {
            double* error = s.standard_error->band(b);
            std::fill(error, error + pixels, 0.0);
            const double far = any_beyond ? band_deviation(s.filled.band(b), s.holes, pixels) : 0.0;
            for (std::size_t i = 0; i < holes.size(); ++i) {
                const double v = spread[i * nb + static_cast<std::size_t>(b)];
                const double c = carry ? carried[i * nb + static_cast<std::size_t>(b)] : 0.0;
                error[holes[i]] = beyond[holes[i]] != 0 ? far : std::sqrt(scales[static_cast<std::size_t>(b)] * v + c);
            }
        }
    }
    return {};
}

}  // namespace pelvane
