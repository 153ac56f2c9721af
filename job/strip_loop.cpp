#include "job/strip_loop.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <future>
#include <limits>
#include <mutex>
#include <memory>
#include <vector>

#include <gdal_priv.h>

#include "job/band_stack.h"
#include "job/edge_fill_stage.h"
#include "job/fill_status.h"
#include "job/gap_masks.h"
#include "job/job_messages.h"
#include "job/progress.h"
#include "job/regression_stage.h"
#include "job/tolvek_stage.h"
#include "job/write_back.h"
#include "regression/date_combination.h"
#include "regression/fill_alignment.h"
#include "regression/fallback_fill.h"
#include "regression/joint_regression.h"
#include "regression/pixel_status.h"
#include "solver/hole_copies.h"
#include "solver/pixel_groups.h"

namespace pelvane {

namespace {

using ByteBuffer = std::unique_ptr<unsigned char[]>;

// Converts each band's interior rows of `filled` to the output sample type,
// into out.samples, the bands on the pool's threads.
JobResult convert_interior(const StripContext& context, const Strip& strip, WorkerPool& pool,
                           BandStack& filled, StripOutput& out)
{
    const ImageInfo& image = context.image;
    const std::size_t width = static_cast<std::size_t>(image.width);
    const std::size_t samples = width * static_cast<std::size_t>(strip.interior_rows);
    const std::size_t sample_bytes = static_cast<std::size_t>(image.sample_bits / 8);
    const std::size_t first = width * static_cast<std::size_t>(strip.interior_offset);

    out.samples.clear();
    out.samples.resize(static_cast<std::size_t>(image.band_count));
    // The refined fill rounds to the nearest integer where the samples are
    // integers; the standard write-back truncates, 0.5 too low on average.
    const bool round = context.plan.refine && !GDALDataTypeIsFloating(image.sample_type);
    std::vector<unsigned char> converted(out.samples.size(), 0);
    pool.run(out.samples.size(), pool.threads(), [&](std::size_t b, int) {
        double* values = filled.band(static_cast<int>(b)) + first;
        if (round)
            for (std::size_t i = 0; i < samples; ++i) values[i] = std::round(values[i]);
        out.samples[b] = std::make_unique_for_overwrite<unsigned char[]>(samples * sample_bytes);
        converted[b] = convert_samples(values, samples, image.sample_type, out.samples[b].get(),
                                       image.nan_nodata);
    });
    if (std::find(converted.begin(), converted.end(), 0) != converted.end())
        return msg::COMPLEX_TYPE;
    return {};
}

// Writes the converted interior rows. Every band is written before any is
// flushed: with pixel interleaving, flushing one band alone would write
// every block B times (and, compressed, leave B - 1 dead copies of it in the
// file).
JobResult write_interior(const StripContext& context, const Strip& strip, const StripOutput& out)
{
    const ImageInfo& image = context.image;
    for (int b = 0; b < image.band_count; ++b) {
        GDALRasterBand* band = context.output.GetRasterBand(b + 1);
        const CPLErr err = band->RasterIO(GF_Write, 0, strip.interior_first_row, image.width,
                                          strip.interior_rows,
                                          out.samples[static_cast<std::size_t>(b)].get(),
                                          image.width, strip.interior_rows, image.sample_type, 0,
                                          0, nullptr);
        if (err != CE_None)
            return {msg::WRITE_OUTPUT, context.plan.output_image_path};
    }
    for (int b = 0; b < image.band_count; ++b) {
        if (context.output.GetRasterBand(b + 1)->FlushCache() != CE_None)
            return {msg::WRITE_OUTPUT, context.plan.output_image_path};
    }
    return {};
}

// The fill codes of the strip's interior rows (out.status). Like the
// output, the status and error rasters are flushed strip by strip: blocks
// left to the cache would be written when it fills, in an order that hangs
// on the threads' timing, and a compressed file's layout with them.
bool write_status_interior(const StripContext& context, const Strip& strip, StripOutput& out)
{
    const int width = context.image.width;
    GDALRasterBand* band = context.status_output->GetRasterBand(1);
    return band->RasterIO(GF_Write, 0, strip.interior_first_row, width, strip.interior_rows,
                          out.status.data(), width, strip.interior_rows, GDT_Byte, 0, 0,
                          nullptr) == CE_None &&
           band->FlushCache() == CE_None;
}

// The estimated errors of the strip's interior rows (out.error), as Float32.
bool write_error_interior(const StripContext& context, const Strip& strip, StripOutput& out)
{
    for (int b = 0; b < out.error.band_count(); ++b) {
        GDALRasterBand* band = context.error_output->GetRasterBand(b + 1);
        if (band->RasterIO(GF_Write, 0, strip.interior_first_row, context.image.width,
                           strip.interior_rows, out.error.band(b), context.image.width,
                           strip.interior_rows, GDT_Float64, 0, 0, nullptr) != CE_None)
            return false;
    }
    for (int b = 0; b < out.error.band_count(); ++b)
        if (context.error_output->GetRasterBand(b + 1)->FlushCache() != CE_None)
            return false;
    return true;
}

// Copy pixels of the target's gaps on which each date's fill is tried,
// where the truth is known, to measure how the dates' errors go together:
// as many as the edge fill takes to measure its error, for the same reason.
constexpr std::size_t DATE_COPY_PIXELS = EDGE_COPY_PIXELS;
// The side of the squares a long copy is cut into for the dates' guard: a
// copy of a stripe across the strip is thousands of pixels whose errors,
// read from windows (11 x 11 and up) far apart, are not one error. 64
// pixels span several windows, so the pieces err apart; a copy of a cloud
// hole or of a stripe across a small scene stays whole. On the 2000 x 700
// demo scene the copies of its scan stripes are two per strip, 84 pieces:
// as whole copies too few for the guard (DATE_COPIES_LEAST) to take any
// later date.
constexpr int DATE_COPY_PIECE = 64;

// Fill image d (0: the first) over the strip, and the gap marks of the
// target and of that image by the job's gap rule.
JobResult read_fill_date(const StripContext& context, const Strip& strip, const BandStack& target,
                         std::size_t d, BandStack& fill, unsigned char* target_mask,
                         unsigned char* fill_mask)
{
    const ImageInfo& image = context.image;
    const JobPlan& plan = context.plan;
    GDALDataset& dataset = d == 0 ? context.fill : *context.other_fills[d - 1];
    const FillImage& path = plan.fills[d];
    if (!read_band_stack(dataset, strip.window_first_row, strip.window_rows, image.width, fill))
        return {msg::READ_FILL, path.image_path};
    clear_non_finite(fill, fill_mask);
    switch (plan.gaps) {
    case GapRule::nodata:
        return build_nodata_gap_masks(context.masker, context.target, dataset, image.width,
                                      strip.window_first_row, strip.window_rows, target_mask,
                                      fill_mask);
    case GapRule::valid_range:
        build_range_gap_masks(context.masker, target, fill, target_mask, fill_mask, plan.valid_min,
                              plan.valid_max);
        return {};
    case GapRule::mask_files:
        return build_file_gap_masks(context.masker, plan.target_mask_path, path.mask_path,
                                    image.width, image.height, strip.window_first_row,
                                    strip.window_rows, target_mask, fill_mask);
    }
    return {};
}

// The refined fill's fill image moved onto the target (fill_alignment.h):
// the shift that best explains the target over the strip, the fill's bands
// resampled at it. Its gap marks stay as they are.
void align_fill_date(WorkerPool& pool, const BandStack& target, const unsigned char* target_mask,
                     BandStack& fill, const unsigned char* fill_mask, int rows, int width)
{
    const AlignmentStrip strip{.target = target.bands(),
                               .target_gap = target_mask,
                               .fill = fill.bands(),
                               .fill_gap = fill_mask,
                               .bands = target.band_count(),
                               .rows = rows,
                               .width = width};
    const FillShift shift = estimate_fill_shift(
        strip, [&](std::size_t count, const std::function<void(std::size_t)>& work) {
            pool.run(count, pool.threads(), [&](std::size_t item, int) { work(item); });
        });
    shift_fill(fill.bands(), fill_mask, fill.band_count(), rows, width, shift);
}

bool predicted_status(unsigned char status)
{
    return (status >= PIXEL_SIMILAR_FIT && status <= PIXEL_RATIO_FIT) || status == FILL_SPATIAL;
}

// The refined fill from several fill images. Each date's regression stage
// fills the target's gaps and, with them, copies of the gaps placed where
// the target is known (place_hole_copies), into buffers of its own; its
// errors on the copies are kept and the copies get the target's values
// back. The dates are combined into the first date's `filled`, `error` and
// `status` (the buffers of `regression`, the first date's stage, not yet
// run) by the errors measured on the copies (combine_dates). Then the joint
// fit over the dates (joint_regression_predict), made at the gaps and at
// the copies, joins that combination by the two's errors on the copies. On
// return `fill_mask` marks the pixels every fill image misses.
JobResult fill_from_dates(const StripContext& context, const Strip& strip, WorkerPool& pool,
                          const RegressionStageBuffers& regression, unsigned char* fill_mask)
{
    const ImageInfo& image = context.image;
    const int bands = image.band_count;
    const std::size_t pixels =
        static_cast<std::size_t>(image.width) * static_cast<std::size_t>(strip.window_rows);
    const std::size_t dates = 1 + context.other_fills.size();
    const double span = 1.0 / static_cast<double>(dates);  // of the strip's regression work

    // The copies, and the target's gaps with them.
    std::vector<unsigned char> sites(pixels), copies(pixels, 0), tried(pixels);
    for (std::size_t i = 0; i < pixels; ++i)
        sites[i] = regression.target_mask[i] == 0;
    place_hole_copies(regression.target_mask, sites.data(), image.width, strip.window_rows,
                      DATE_COPY_PIXELS, copies.data());
    std::vector<std::size_t> copy_at;
    for (std::size_t i = 0; i < pixels; ++i) {
        tried[i] = regression.target_mask[i] != 0 || copies[i] != 0;
        if (copies[i] != 0)
            copy_at.push_back(i);
    }
    // Which copy each copy pixel belongs to: the copies are kept apart, so
    // each is one 8-connected group. A copy's pixels err together; a date's
    // gain on the copies is tested copy by copy (helpful_dates), a copy
    // larger than DATE_COPY_PIECE in pieces of that size.
    std::vector<int> copy_label(copy_at.size());
    int copy_count = 0;
    {
        std::vector<int> label(pixels);
        copy_count = label_group_pieces(copies.data(), image.width, strip.window_rows,
                                        DATE_COPY_PIECE, label.data());
        for (std::size_t j = 0; j < copy_at.size(); ++j) copy_label[j] = label[copy_at[j]];
    }
    std::vector<unsigned char>().swap(sites);
    std::vector<unsigned char>().swap(copies);
    const std::size_t n = copy_at.size();
    // Per date and band, the error at each copy pixel; NaN where not filled.
    std::vector<double> copy_error(dates * static_cast<std::size_t>(bands) * n,
                                   std::numeric_limits<double>::quiet_NaN());
    SharedInterpolation interpolation(bands, pixels);
    // The same dates' estimated errors and statuses there.
    std::vector<double> copy_estimate(copy_error.size());
    std::vector<unsigned char> copy_status(dates * n);
    auto fill_date = [&](std::size_t d, const BandStack& fill, const unsigned char* mask,
                         BandStack& filled, unsigned char* status, BandStack& error) -> JobResult {
        const RegressionStageBuffers stage{.target = regression.target,
                                           .fill = fill,
                                           .target_mask = tried.data(),
                                           .fill_mask = mask,
                                           .rows = regression.rows,
                                           .width = regression.width,
                                           .similar_pixel_count = regression.similar_pixel_count,
                                           .filled = filled,
                                           .status = status,
                                           .refine = true,
                                           .error = &error,
                                           .progress_from = static_cast<double>(d) * span,
                                           .progress_span = span,
                                           .interpolation = &interpolation,
                                           // The dates are combined by their errors, which
                                           // the correction would draw together (refine_fill.h).
                                           .spectral_correction = false};
        if (JobResult stop = run_regression_stage(pool, context.host, stage); !stop.done())
            return stop;
        for (int b = 0; b < bands; ++b) {
            double* out = copy_error.data() + (d * static_cast<std::size_t>(bands) + static_cast<std::size_t>(b)) * n;
            for (std::size_t j = 0; j < n; ++j) {
                const std::size_t at = copy_at[j];
                if (predicted_status(status[at]))
                    out[j] = filled.band(b)[at] - regression.target.band(b)[at];
                copy_estimate[static_cast<std::size_t>(out - copy_error.data()) + j] = error.band(b)[at];
                filled.band(b)[at] = regression.target.band(b)[at];
                error.band(b)[at] = 0.0;
            }
        }
        for (std::size_t j = 0; j < n; ++j) {
            copy_status[d * n + j] = status[copy_at[j]];
            status[copy_at[j]] = PIXEL_VALID;
        }
        return {};
    };
    if (JobResult stop = fill_date(0, regression.fill, regression.fill_mask, regression.filled,
                                   regression.status, *regression.error);
        !stop.done())
        return stop;

    // The first date's own gaps: `fill_mask` (which regression.fill_mask
    // points to) becomes the gaps of every date below.
    const std::vector<unsigned char> first_gaps(regression.fill_mask, regression.fill_mask + pixels);
    std::vector<BandStack> filled(dates - 1), error(dates - 1), fills(dates - 1);
    std::vector<ByteBuffer> status(dates - 1);
    std::vector<std::vector<unsigned char>> date_masks(dates - 1);
    for (std::size_t d = 1; d < dates; ++d) {
        BandStack& fill = fills[d - 1];
        fill = BandStack(bands, pixels);
        std::vector<unsigned char>& date_mask = date_masks[d - 1];
        date_mask.assign(pixels, 0);
        // The target's marks are built again beside this date's, and thrown away.
        std::vector<unsigned char> target_again(pixels, 0);
        std::unique_lock<std::mutex> files;
        if (context.gdal_lock != nullptr) files = std::unique_lock<std::mutex>(*context.gdal_lock);
        if (JobResult stop = read_fill_date(context, strip, regression.target, d, fill,
                                            target_again.data(), date_mask.data());
            !stop.done())
            return stop;
        if (files.owns_lock()) files.unlock();
        align_fill_date(pool, regression.target, regression.target_mask, fill, date_mask.data(),
                        strip.window_rows, image.width);
        filled[d - 1] = BandStack(bands, pixels);
        error[d - 1] = BandStack(bands, pixels);
        status[d - 1] = std::make_unique_for_overwrite<unsigned char[]>(pixels);
        if (JobResult stop = fill_date(d, fill, date_mask.data(), filled[d - 1], status[d - 1].get(),
                                       error[d - 1]);
            !stop.done())
            return stop;
        for (std::size_t i = 0; i < pixels; ++i)
            fill_mask[i] = fill_mask[i] != 0 && date_mask[i] != 0;
    }

    // The joint fit over the dates, at the gaps and at the copies. Each
    // date's values stay in `fills` for it.
    std::vector<const double*> date_bands;
    std::vector<const unsigned char*> date_gaps{first_gaps.data()};
    for (int b = 0; b < bands; ++b) date_bands.push_back(regression.fill.band(b));
    for (std::size_t d = 1; d < dates; ++d) {
        for (int b = 0; b < bands; ++b) date_bands.push_back(fills[d - 1].band(b));
        date_gaps.push_back(date_masks[d - 1].data());
    }
    const JointDates joint_in{.target = regression.target.bands(),
                              .target_gap = tried.data(),
                              .fill = date_bands.data(),
                              .fill_gap = date_gaps.data(),
                              .scale = nullptr,
                              .dates = static_cast<int>(dates),
                              .bands = bands,
                              .rows = strip.window_rows,
                              .width = image.width};
    const std::vector<double> scales = joint_scales(joint_in);
    // At the copies the candidates leave out the copies too, as the dates'
    // fills did; at the gaps every pixel the target has is a candidate.
    JointDates at_copies = joint_in;
    at_copies.scale = scales.data();
    JointDates at_gaps = at_copies;
    at_gaps.target_gap = regression.target_mask;
    BandStack joint_filled(bands, pixels), joint_error(bands, pixels);
    ByteBuffer joint_status = std::make_unique_for_overwrite<unsigned char[]>(pixels);
    std::fill(joint_status.get(), joint_status.get() + pixels, PIXEL_VALID);
    std::vector<JointScratch> scratch(static_cast<std::size_t>(std::max(pool.threads(), 1)));
    WorkerPool::Hooks hooks;
    hooks.finished = [&](std::size_t) { return !context.host.stop_requested(); };
    hooks.poll = [&] {
        context.host.keep_alive();
        return !context.host.stop_requested();
    };
    if (!pool.run(
            static_cast<std::size_t>(strip.window_rows), pool.threads(),
            [&](std::size_t row, int slot) {
                std::vector<double> out(static_cast<std::size_t>(bands));
                for (int c = 0; c < image.width; ++c) {
                    const std::size_t at = row * static_cast<std::size_t>(image.width) + static_cast<std::size_t>(c);
                    if (tried[at] == 0) continue;
                    const JointDates& joint = regression.target_mask[at] != 0 ? at_gaps : at_copies;
                    if (joint_regression_predict(joint, static_cast<int>(row), c,
                                                 scratch[static_cast<std::size_t>(slot)], out.data()) == 0)
                        continue;
                    for (int b = 0; b < bands; ++b) joint_filled.band(b)[at] = out[static_cast<std::size_t>(b)];
                    joint_status[at] = PIXEL_SIMILAR_FIT;
                }
            },
            hooks))
        return JobResult::stopped();
    // The joint fit's errors on the copies.
    std::vector<double> joint_copy_error(static_cast<std::size_t>(bands) * n,
                                         std::numeric_limits<double>::quiet_NaN());
    for (int b = 0; b < bands; ++b)
        for (std::size_t j = 0; j < n; ++j) {
            const std::size_t at = copy_at[j];
            if (joint_status[at] == PIXEL_SIMILAR_FIT)
                joint_copy_error[static_cast<std::size_t>(b) * n + j] =
                    joint_filled.band(b)[at] - regression.target.band(b)[at];
        }
    for (const std::size_t at : copy_at) joint_status[at] = PIXEL_VALID;

    // First the dates, each date's own fill, by their errors on the copies:
    // per band, each date's mean squared error and one correlation for every
    // pair of dates (date_error_covariance). A later date counts only in the
    // bands where it lowered the copies' error (helpful_dates), and the
    // correlation is then measured over the pairs of dates taken, so that
    // adding a date that is not taken changes nothing where the dates taken
    // fill the pixel. The same weights at the copies give the combination's
    // own errors there.
    std::vector<double> covariance = date_error_covariance(copy_error.data(), dates, bands, n);
    std::vector<unsigned char> kept;
    if (!covariance.empty()) {
        kept = helpful_dates(copy_error.data(), dates, bands, n, copy_label.data(), copy_count);
        covariance = date_error_covariance(copy_error.data(), dates, bands, n, kept.data());
    }
    const double* measured = covariance.empty() ? nullptr : covariance.data();
    const unsigned char* kept_dates = kept.empty() ? nullptr : kept.data();
    {
        std::vector<double*> values, errors;
        std::vector<unsigned char*> statuses;
        for (std::size_t d = 0; d < dates; ++d) {
            for (int b = 0; b < bands; ++b) {
                const std::size_t at = (d * static_cast<std::size_t>(bands) + static_cast<std::size_t>(b)) * n;
                values.push_back(copy_error.data() + at);
                errors.push_back(copy_estimate.data() + at);
            }
            statuses.push_back(copy_status.data() + d * n);
        }
        combine_dates(static_cast<int>(dates), bands, 0, n, values.data(), errors.data(),
                      statuses.data(), measured, FILL_SPATIAL, FILL_OTHER_DATE, kept_dates);
    }
    std::vector<double*> values, errors;
    std::vector<unsigned char*> statuses{regression.status};
    for (int b = 0; b < bands; ++b) {
        values.push_back(regression.filled.band(b));
        errors.push_back(regression.error->band(b));
    }
    for (std::size_t d = 1; d < dates; ++d) {
        for (int b = 0; b < bands; ++b) {
            values.push_back(filled[d - 1].band(b));
            errors.push_back(error[d - 1].band(b));
        }
        statuses.push_back(status[d - 1].get());
    }
    combine_dates(static_cast<int>(dates), bands, 0, pixels, values.data(), errors.data(),
                  statuses.data(), measured, FILL_SPATIAL, FILL_OTHER_DATE, kept_dates);

    // Then the joint fit joins the dates' combination, by the two's errors
    // on the copies (copy_error's first n x bands now hold the
    // combination's). The joint fit's error at a pixel is the combination's
    // estimate there scaled by the two's errors on the copies.
    std::vector<double> pair_error(2 * static_cast<std::size_t>(bands) * n);
    std::copy(copy_error.begin(), copy_error.begin() + static_cast<std::ptrdiff_t>(bands * n),
              pair_error.begin());
    std::copy(joint_copy_error.begin(), joint_copy_error.end(),
              pair_error.begin() + static_cast<std::ptrdiff_t>(bands * n));
    const std::vector<double> pair = date_error_covariance(pair_error.data(), 2, bands, n);
    if (pair.empty())
        return {};
    std::vector<double*> pair_values, pair_errors;
    for (int b = 0; b < bands; ++b) {
        const double* c = pair.data() + static_cast<std::size_t>(b) * 4;
        const double ratio = std::sqrt(c[3] / c[0]);
        for (std::size_t i = 0; i < pixels; ++i)
            joint_error.band(b)[i] = ratio * regression.error->band(b)[i];
        pair_values.push_back(regression.filled.band(b));
        pair_errors.push_back(regression.error->band(b));
    }
    for (int b = 0; b < bands; ++b) {
        pair_values.push_back(joint_filled.band(b));
        pair_errors.push_back(joint_error.band(b));
    }
    // The combination's pixels count as predicted whatever date weighed
    // most; the codes stay the dates' (combine_dates marks pixels the joint
    // fit outweighs in this copy only).
    ByteBuffer first_status = std::make_unique_for_overwrite<unsigned char[]>(pixels);
    // The joint fit only joins where the dates filled the pixel.
    for (std::size_t i = 0; i < pixels; ++i) {
        first_status[i] = regression.status[i] == FILL_OTHER_DATE ? static_cast<unsigned char>(PIXEL_SIMILAR_FIT)
                                                                   : regression.status[i];
        if (!predicted_status(first_status[i])) joint_status[i] = PIXEL_VALID;
    }
    std::vector<unsigned char*> pair_status{first_status.get(), joint_status.get()};
    combine_dates(2, bands, 0, pixels, pair_values.data(), pair_errors.data(), pair_status.data(),
                  pair.data(), FILL_SPATIAL, FILL_OTHER_DATE);
    return {};
}

std::int64_t count_marked(const unsigned char* mask, std::size_t pixels)
{
    std::int64_t marked = 0;
    for (std::size_t i = 0; i < pixels; ++i)
        marked += mask[i] != 0;
    return marked;
}

}  // namespace

JobResult read_strip(const StripContext& context, const Strip& strip, StripInput& in)
{
    const ImageInfo& image = context.image;
    const int bands = image.band_count;
    const std::size_t pixels =
        static_cast<std::size_t>(image.width) * static_cast<std::size_t>(strip.window_rows);

    // Both images over the strip's window, as doubles.
    in.target = BandStack(bands, pixels);
    if (!read_band_stack(context.target, strip.window_first_row, strip.window_rows, image.width,
                         in.target))
        return {msg::READ_TARGET, context.plan.target_image_path};
    // 1 marks a missing pixel; the target mask later becomes the remaining-gap mask.
    in.target_mask.assign(pixels, 0);
    in.fill_mask.assign(pixels, 0);
    clear_non_finite(in.target, in.target_mask.data(),
                     image.nan_nodata ? std::numeric_limits<double>::quiet_NaN() : 0.0);
    in.fill = BandStack(bands, pixels);
    if (JobResult stop = read_fill_date(context, strip, in.target, 0, in.fill,
                                        in.target_mask.data(), in.fill_mask.data());
        !stop.done())
        return stop;
    in.interior_gaps =
        count_marked(in.target_mask.data() + image.width * static_cast<std::size_t>(strip.interior_offset),
                     image.width * static_cast<std::size_t>(strip.interior_rows));
    return {};
}

JobResult write_strip(const StripContext& context, const Strip& strip, StripOutput& out)
{
    if (!out.status.empty() && !write_status_interior(context, strip, out))
        return {msg::WRITE_STATUS, context.plan.status_output_path};
    if (out.error.band_count() > 0 && !write_error_interior(context, strip, out))
        return {msg::WRITE_ERROR, context.plan.error_output_path};
    return write_interior(context, strip, out);
}

JobResult compute_strip(const StripContext& context, const Strip& strip, WorkerPool& pool,
                        StripInput& in, StripOutput& out)
{
    const ImageInfo& image = context.image;
    const JobPlan& plan = context.plan;
    const int bands = image.band_count;
    // The rows worked on: the window, until the refined fill drops the rows
    // it does not want (below).
    int rows = strip.window_rows;
    std::size_t pixels = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(rows);
    std::size_t interior_first = static_cast<std::size_t>(image.width) * strip.interior_offset;
    const std::size_t interior_pixels = static_cast<std::size_t>(image.width) * strip.interior_rows;
    BandStack target = std::move(in.target), fill = std::move(in.fill);
    std::vector<unsigned char> target_mask = std::move(in.target_mask);
    std::vector<unsigned char> fill_mask = std::move(in.fill_mask);
    context.target_gap_pixels += in.interior_gaps;

    // Tolvek solves the pixels missing in both images unless the refined fill
    // with both methods interpolates them from their edges (below).
    const GapCounts gaps = count_gaps(target_mask.data(), fill_mask.data(), pixels);
    const bool solves = plan.tolvek && gaps.in_both > 0 && !(plan.refine && plan.sarnic);
    // Several dates: each date's pass predicts the target's gaps it is valid
    // at, not only those the first date is.
    const std::int64_t dates = 1 + static_cast<std::int64_t>(context.other_fills.size());
    const std::int64_t predicted = dates > 1 ? (gaps.predicted + gaps.in_both) * dates : gaps.predicted;
    begin_strip_work(context.host, strip_work(predicted, pixels, bands, plan.refine, solves,
                                              plan.tolvek_params.max_iterations,
                                              plan.tolvek_params.tolerance));

    // The refined fill regresses the target on the fill: the fill is first
    // moved onto the target, each further date in its own turn (fill_from_dates).
    if (plan.refine && plan.sarnic)
        align_fill_date(pool, target, target_mask.data(), fill, fill_mask.data(), strip.window_rows,
                        image.width);

    BandStack filled(bands, pixels);
    ByteBuffer pixel_status = std::make_unique_for_overwrite<unsigned char[]>(pixels);
    // 0 at valid pixels, no-data until the regression stage estimates it.
    // Several dates are combined by their estimated errors, asked for or not.
    const bool several_dates = !context.other_fills.empty();
    BandStack error;
    if (context.error_output != nullptr || several_dates) {
        error = BandStack(bands, pixels);
        for (int b = 0; b < bands; ++b)
            for (std::size_t i = 0; i < pixels; ++i)
                error.band(b)[i] = target_mask[i] == 0 ? 0.0 : std::numeric_limits<double>::quiet_NaN();
    }

    // The refined fill with both methods from one date predicts the gap
    // pixels of the interior and of REFINED_MARGIN_ROWS rows around it only
    // (and calibrates on the residual pixels those rows read): the rest of
    // the window is read for their candidates; its gaps are filled by the
    // strips that own them.
    const bool trims = plan.refine && plan.sarnic && !several_dates;
    const int wanted_first = trims ? std::max(0, strip.interior_offset - REFINED_MARGIN_ROWS) : 0;
    const int wanted_end =
        trims ? std::min(rows, strip.interior_offset + strip.interior_rows + REFINED_MARGIN_ROWS) : rows;

    // Sarnic, run for every strip whichever methods are chosen: with Tolvek
    // alone the fill image is the target itself, so this only copies the
    // target and marks its gaps as missing in both.
    const RegressionStageBuffers regression{.target = target,
                                            .fill = fill,
                                            .target_mask = target_mask.data(),
                                            .fill_mask = fill_mask.data(),
                                            .rows = strip.window_rows,
                                            .width = image.width,
                                            .similar_pixel_count = plan.similar_pixel_count,
                                            .filled = filled,
                                            .status = pixel_status.get(),
                                            .refine = plan.refine,
                                            .error = context.error_output != nullptr || several_dates ? &error : nullptr,
                                            .wanted_first = wanted_first,
                                            .wanted_end = wanted_end};
    if (JobResult stop = several_dates
                             ? fill_from_dates(context, strip, pool, regression, fill_mask.data())
                             : run_regression_stage(pool, context.host, regression);
        !stop.done())
        return stop;
    if (wanted_first > 0 || wanted_end < rows) {
        // From here on the strip is the wanted rows.
        const std::size_t from = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(wanted_first);
        rows = wanted_end - wanted_first;
        pixels = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(rows);
        interior_first -= from;
        auto keep = [&](auto* values) { std::memmove(values, values + from, pixels * sizeof(*values)); };
        // A band's buffers, or (the last item) the byte buffers, per item.
        pool.run(static_cast<std::size_t>(bands) + 1, pool.threads(), [&](std::size_t item, int) {
            const int b = static_cast<int>(item);
            if (b < bands) {
                keep(filled.band(b));
                keep(fill.band(b));
                if (error.band_count() > 0) keep(error.band(b));
                return;
            }
            keep(pixel_status.get());
            keep(target_mask.data());
            keep(fill_mask.data());
        });
    }
    // Each pixel sees the values written before it: one thread, in raster order.
    std::vector<unsigned char> fallback_written;
    if (context.status_output != nullptr)
        fallback_written.assign(pixels, 0);
    fallback_fill(filled.bands(), fill.bands(), pixel_status.get(), bands, rows,
                  image.width, show_host_message, &context.host,
                  fallback_written.empty() ? nullptr : fallback_written.data());

    target.release();
    fill.release();
    if (context.inputs_released)
        context.inputs_released();

    // The target's own valid pixels: where the edge fill measures its error.
    std::vector<unsigned char> target_valid;
    if (context.error_output != nullptr) {
        target_valid.resize(pixels);
        for (std::size_t i = 0; i < pixels; ++i)
            target_valid[i] = target_mask[i] == 0;
    }

    // From here on target_mask is the remaining-gap mask: 1 where both images miss the pixel.
    combine_gap_masks(target_mask.data(), fill_mask.data(), pixels);
    std::vector<unsigned char>().swap(fill_mask);

    // The refined fill with both methods interpolates the pixels missing in
    // both images from their edges; Tolvek alone stays Tolvek.
    const bool remaining = plan.tolvek && has_remaining_gap(target_mask.data(), pixels);
    const bool edge_fill = remaining && plan.refine && plan.sarnic;
    const bool tolvek = remaining && !edge_fill;
    if (context.status_output != nullptr) {
        finish_fill_codes(pixel_status.get(), fallback_written.data(),
                          tolvek ? FILL_TOLVEK : edge_fill ? FILL_EDGE : FILL_UNFILLED, pixels);
        std::vector<unsigned char>().swap(fallback_written);
        out.status.assign(pixel_status.get() + interior_first,
                          pixel_status.get() + interior_first + interior_pixels);
    }
    pixel_status.reset();

    if (edge_fill) {
        BandStack edge_error;
        if (context.error_output != nullptr)
            edge_error = BandStack(bands, pixels);
        const EdgeFillBuffers edges{
            .filled = filled,
            .holes = target_mask.data(),
            .width = image.width,
            .rows = rows,
            .standard_error = context.error_output != nullptr ? &edge_error : nullptr,
            .sites = target_valid.empty() ? nullptr : target_valid.data(),
            .known_error = context.error_output != nullptr ? &error : nullptr};
        if (JobResult stop = run_edge_fill_stage(pool, context.host, edges); !stop.done())
            return stop;
        // The holes' estimates join those of the regression stage.
        if (context.error_output != nullptr)
            for (int b = 0; b < bands; ++b)
                for (std::size_t i = 0; i < pixels; ++i)
                    if (target_mask[i] != 0) error.band(b)[i] = edge_error.band(b)[i];
    }
    std::vector<unsigned char>().swap(target_valid);
    if (context.error_output != nullptr) {
        out.error = BandStack(bands, interior_pixels);
        for (int b = 0; b < bands; ++b)
            std::copy(error.band(b) + interior_first, error.band(b) + interior_first + interior_pixels,
                      out.error.band(b));
        error.release();
    }
    if (tolvek) {
        begin_tolvek_work(context.host);
        if (JobResult stop =
                run_tolvek_stage(pool, context.host, filled, target_mask.data(), image.width,
                                 rows, plan.tolvek_params, plan.options.solver_progress);
            !stop.done())
            return stop;
    }

    std::vector<unsigned char>().swap(target_mask);

    Strip kept = strip;  // the interior within the rows worked on
    kept.interior_offset = static_cast<int>(interior_first / static_cast<std::size_t>(image.width));
    JobResult converted = convert_interior(context, kept, pool, filled, out);
    end_strip_work(context.host);
    return converted;
}

GDALDatasetUniquePtr create_error_image(const char* path, int width, int height, int bands)
{
    GDALDriver* gtiff = GetGDALDriverManager()->GetDriverByName("GTiff");
    if (gtiff == nullptr) return nullptr;
    CPLStringList options;
    options.AddString("COMPRESS=DEFLATE");
    GDALDatasetUniquePtr error(gtiff->Create(path, width, height, bands, GDT_Float32,
                                             options.List()));
    if (!error) return nullptr;
    for (int b = 1; b <= bands; ++b) {
        GDALRasterBand* band = error->GetRasterBand(b);
        band->SetDescription("Pelvane estimated standard error");
        band->SetNoDataValue(std::numeric_limits<double>::quiet_NaN());
    }
    return error;
}

bool strips_overlap(int threads, const StripPlan& plan)
{
    // One thread asked for is one core: no thread of its own for the files.
    return threads > 1 && plan.strip_count > 1;
}

namespace {

// One strip read, filled and written in turn, on the job's thread.
JobResult process_strip(const StripContext& context, const Strip& strip, WorkerPool& pool)
{
    StripInput in;
    StripOutput out;
    if (JobResult stop = read_strip(context, strip, in); !stop.done())
        return stop;
    if (JobResult stop = compute_strip(context, strip, pool, in, out); !stop.done())
        return stop;
    return write_strip(context, strip, out);
}

// What the files' thread did for one strip: wrote the one before, read the
// one after.
struct StripFiles {
    JobResult written, read;
};

// Set once the strip being filled has let go of its input (or has ended):
// the next strip is read only then, so that the two strips' inputs, the
// largest buffers, are never held at once.
class InputsReleased {
public:
    void set()
    {
        {
            const std::lock_guard<std::mutex> hold(lock_);
            released_ = true;
        }
        changed_.notify_all();
    }
    void wait()
    {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [this] { return released_; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool released_ = false;
};

// Sets `released` when it goes, however the strip's filling ends.
struct ReleaseOnExit {
    InputsReleased& released;
    ~ReleaseOnExit() { released.set(); }
};

}  // namespace

JobResult run_strip_loop(const StripContext& context, const StripPlan& plan)
{
    JobHost& host = context.host;
    host.progress_step = static_cast<double>(host.progress_range) / plan.strip_count;
    // The job's threads, started once for all its strips.
    WorkerPool pool(context.plan.options.threads);
    auto begin_strip = [&](int v) {
        host.progress_base =
            static_cast<int>(static_cast<double>(v) / plan.strip_count * host.progress_range);
        host.work.strip = v;
        host.work.strips = plan.strip_count;
    };
    if (!strips_overlap(pool.threads(), plan)) {
        for (int v = 0; v < plan.strip_count; ++v) {
            if (host.stop_requested())
                return JobResult::stopped();
            begin_strip(v);
            if (JobResult stop = process_strip(context, plan_strip(plan, v), pool); !stop.done())
                return stop;
        }
        return {};
    }

    std::mutex gdal_lock;
    StripContext shared = context;
    shared.gdal_lock = &gdal_lock;
    StripInput next;
    if (JobResult stop = read_strip(shared, plan_strip(plan, 0), next); !stop.done())
        return stop;
    StripOutput before;  // strip v - 1's, until it is written
    for (int v = 0; v < plan.strip_count; ++v) {
        if (host.stop_requested())
            return JobResult::stopped();
        begin_strip(v);
        StripInput in = std::move(next);
        next = StripInput{};
        InputsReleased released;
        shared.inputs_released = [&released] { released.set(); };
        // The files' thread: strip v - 1 written, then strip v + 1 read once
        // strip v's input is gone.
        std::future<StripFiles> files = std::async(std::launch::async, [&] {
            StripFiles done;
            std::unique_lock<std::mutex> hold(gdal_lock);
            if (shared.gdal_messages_here) shared.gdal_messages_here(true);
            if (v > 0) done.written = write_strip(shared, plan_strip(plan, v - 1), before);
            before = StripOutput{};
            if (done.written.done() && v + 1 < plan.strip_count) {
                // The job's thread may read other fill images meanwhile.
                hold.unlock();
                released.wait();
                hold.lock();
                done.read = read_strip(shared, plan_strip(plan, v + 1), next);
            }
            if (shared.gdal_messages_here) shared.gdal_messages_here(false);
            return done;
        });
        StripOutput out;
        JobResult filled;
        {
            const ReleaseOnExit release{released};
            filled = compute_strip(shared, plan_strip(plan, v), pool, in, out);
        }
        const StripFiles done = files.get();
        // The earlier strip's message first.
        if (!done.written.done())
            return done.written;
        if (!filled.done())
            return filled;
        if (!done.read.done())
            return done.read;
        before = std::move(out);
    }
    return write_strip(shared, plan_strip(plan, plan.strip_count - 1), before);
}

}  // namespace pelvane
