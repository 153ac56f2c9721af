#include "job/strip_loop.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
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
#include "regression/fallback_fill.h"

namespace pelvane {

namespace {

using ByteBuffer = std::unique_ptr<unsigned char[]>;

// Converts each band's interior rows of `filled` to the output sample type and
// writes them. Every band is written before any is flushed: with pixel
// interleaving, flushing one band alone would write every block B times
// (and, compressed, leave B - 1 dead copies of it in the file).
JobResult write_interior(const StripContext& context, const Strip& strip, BandStack& filled)
{
    const ImageInfo& image = context.image;
    const std::size_t width = static_cast<std::size_t>(image.width);
    const std::size_t samples = width * static_cast<std::size_t>(strip.interior_rows);
    const std::size_t sample_bytes = static_cast<std::size_t>(image.sample_bits / 8);
    const std::size_t first = width * static_cast<std::size_t>(strip.interior_offset);

    std::vector<ByteBuffer> write_buffers;
    write_buffers.reserve(static_cast<std::size_t>(image.band_count));
    // The refined fill rounds to the nearest integer where the samples are
    // integers; the standard write-back truncates, 0.5 too low on average.
    const bool round = context.plan.refine && !GDALDataTypeIsFloating(image.sample_type);
    for (int b = 0; b < image.band_count; ++b) {
        if (round) {
            double* values = filled.band(b) + first;
            for (std::size_t i = 0; i < samples; ++i) values[i] = std::round(values[i]);
        }
        write_buffers.push_back(std::make_unique_for_overwrite<unsigned char[]>(samples * sample_bytes));
        if (!convert_samples(filled.band(b) + first, samples, image.sample_type,
                             write_buffers.back().get(), image.nan_nodata))
            return msg::COMPLEX_TYPE;
    }

    for (int b = 0; b < image.band_count; ++b) {
        GDALRasterBand* band = context.output.GetRasterBand(b + 1);
        const CPLErr err = band->RasterIO(GF_Write, 0, strip.interior_first_row, image.width,
                                          strip.interior_rows,
                                          write_buffers[static_cast<std::size_t>(b)].get(),
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

// The fill codes of the strip's interior rows.
bool write_status_interior(const StripContext& context, const Strip& strip,
                           unsigned char* codes)
{
    const int width = context.image.width;
    GDALRasterBand* band = context.status_output->GetRasterBand(1);
    return band->RasterIO(GF_Write, 0, strip.interior_first_row, width, strip.interior_rows,
                          codes + static_cast<std::size_t>(width) * strip.interior_offset, width,
                          strip.interior_rows, GDT_Byte, 0, 0, nullptr) == CE_None;
}

// The estimated errors of the strip's interior rows, as Float32.
bool write_error_interior(const StripContext& context, const Strip& strip, BandStack& error)
{
    const std::size_t width = static_cast<std::size_t>(context.image.width);
    const std::size_t first = width * static_cast<std::size_t>(strip.interior_offset);
    for (int b = 0; b < error.band_count(); ++b) {
        GDALRasterBand* band = context.error_output->GetRasterBand(b + 1);
        if (band->RasterIO(GF_Write, 0, strip.interior_first_row, context.image.width,
                           strip.interior_rows, error.band(b) + first, context.image.width,
                           strip.interior_rows, GDT_Float64, 0, 0, nullptr) != CE_None)
            return false;
    }
    return true;
}

std::int64_t count_marked(const unsigned char* mask, std::size_t pixels)
{
    std::int64_t marked = 0;
    for (std::size_t i = 0; i < pixels; ++i)
        marked += mask[i] != 0;
    return marked;
}

}  // namespace

JobResult process_strip(const StripContext& context, const Strip& strip, WorkerPool& pool)
{
    const ImageInfo& image = context.image;
    const JobPlan& plan = context.plan;
    const int bands = image.band_count;
    const std::size_t pixels =
        static_cast<std::size_t>(image.width) * static_cast<std::size_t>(strip.window_rows);

    // Both images over the strip's window, as doubles.
    BandStack target(bands, pixels);
    if (!read_band_stack(context.target, strip.window_first_row, strip.window_rows, image.width,
                         target))
        return {msg::READ_TARGET, plan.target_image_path};
    BandStack fill(bands, pixels);
    if (!read_band_stack(context.fill, strip.window_first_row, strip.window_rows, image.width,
                         fill))
        return {msg::READ_FILL, plan.fill().image_path};

    // 1 marks a missing pixel; the target mask later becomes the remaining-gap mask.
    std::vector<unsigned char> target_mask(pixels, 0);
    std::vector<unsigned char> fill_mask(pixels, 0);
    clear_non_finite(target, target_mask.data(),
                     image.nan_nodata ? std::numeric_limits<double>::quiet_NaN() : 0.0);
    clear_non_finite(fill, fill_mask.data());
    switch (plan.gaps) {
    case GapRule::nodata: {
        JobResult stop = build_nodata_gap_masks(context.masker, context.target, context.fill,
                                              image.width, strip.window_first_row,
                                              strip.window_rows, target_mask.data(),
                                              fill_mask.data());
        if (!stop.done())
            return stop;
        break;
    }
    case GapRule::valid_range:
        build_range_gap_masks(context.masker, target, fill, target_mask.data(), fill_mask.data(),
                              plan.valid_min, plan.valid_max);
        break;
    case GapRule::mask_files: {
        JobResult stop = build_file_gap_masks(
            context.masker, plan.target_mask_path, plan.fill().mask_path, image.width,
            image.height, strip.window_first_row, strip.window_rows, target_mask.data(),
            fill_mask.data());
        if (!stop.done())
            return stop;
        break;
    }
    }
    context.target_gap_pixels +=
        count_marked(target_mask.data() + image.width * static_cast<std::size_t>(strip.interior_offset),
                     image.width * static_cast<std::size_t>(strip.interior_rows));

    // Tolvek solves the pixels missing in both images unless the refined fill
    // with both methods interpolates them from their edges (below).
    const GapCounts gaps = count_gaps(target_mask.data(), fill_mask.data(), pixels);
    const bool solves = plan.tolvek && gaps.in_both > 0 && !(plan.refine && plan.sarnic);
    begin_strip_work(context.host, strip_work(gaps.predicted, pixels, bands, plan.refine, solves,
                                              plan.tolvek_params.max_iterations,
                                              plan.tolvek_params.tolerance));

    BandStack filled(bands, pixels);
    ByteBuffer pixel_status = std::make_unique_for_overwrite<unsigned char[]>(pixels);
    // 0 at valid pixels, no-data until the regression stage estimates it.
    BandStack error;
    if (context.error_output != nullptr) {
        error = BandStack(bands, pixels);
        for (int b = 0; b < bands; ++b)
            for (std::size_t i = 0; i < pixels; ++i)
                error.band(b)[i] = target_mask[i] == 0 ? 0.0 : std::numeric_limits<double>::quiet_NaN();
    }

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
                                            .error = context.error_output != nullptr ? &error : nullptr};
    if (JobResult stop = run_regression_stage(pool, context.host, regression); !stop.done())
        return stop;
    // Each pixel sees the values written before it: one thread, in raster order.
    std::vector<unsigned char> fallback_written;
    if (context.status_output != nullptr)
        fallback_written.assign(pixels, 0);
    fallback_fill(filled.bands(), fill.bands(), pixel_status.get(), bands, strip.window_rows,
                  image.width, show_host_message, &context.host,
                  fallback_written.empty() ? nullptr : fallback_written.data());

    target.release();
    fill.release();

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
        if (!write_status_interior(context, strip, pixel_status.get()))
            return {msg::WRITE_STATUS, plan.status_output_path};
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
            .rows = strip.window_rows,
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
        if (!write_error_interior(context, strip, error))
            return {msg::WRITE_ERROR, plan.error_output_path};
        error.release();
    }
    if (tolvek) {
        begin_tolvek_work(context.host);
        if (JobResult stop =
                run_tolvek_stage(pool, context.host, filled, target_mask.data(), image.width,
                                 strip.window_rows, plan.tolvek_params, plan.options.solver_progress);
            !stop.done())
            return stop;
    }

    std::vector<unsigned char>().swap(target_mask);

    JobResult written = write_interior(context, strip, filled);
    end_strip_work(context.host);
    return written;
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

JobResult run_strip_loop(const StripContext& context, const StripPlan& plan)
{
    JobHost& host = context.host;
    host.progress_step = static_cast<double>(host.progress_range) / plan.strip_count;
    // The job's threads, started once for all its strips.
    WorkerPool pool(context.plan.options.threads);
    for (int v = 0; v < plan.strip_count; ++v) {
        if (host.stop_requested())
            return JobResult::stopped();
        host.progress_base =
            static_cast<int>(static_cast<double>(v) / plan.strip_count * host.progress_range);
        host.work.strip = v;
        host.work.strips = plan.strip_count;
        if (JobResult stop = process_strip(context, plan_strip(plan, v), pool); !stop.done())
            return stop;
    }
    return {};
}

}  // namespace pelvane
