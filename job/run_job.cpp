#include "job/run_job.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include "job/fill_status.h"
#include "job/gap_masks.h"
#include "job/job_messages.h"
#include "job/output_file.h"
#include "job/range_masker.h"
#include "job/strip_loop.h"
#include "job/strip_plan.h"
#include "job/write_back.h"

namespace pelvane {

namespace {

bool stop(JobHost& host, const char* message)
{
    host.show_message(message);
    return false;
}

// For the last resort: not even a failing host may throw past the job.
bool stop_quietly(JobHost& host, const char* message) noexcept
{
    try {
        host.show_message(message);
    } catch (...) {
    }
    return false;
}

GDALDatasetUniquePtr open_shared(const std::string& path)
{
    return GDALDatasetUniquePtr(
        GDALDataset::FromHandle(GDALOpenShared(path.c_str(), GA_ReadOnly)));
}

// True when both paths name one file: the same file on disk where both exist
// (links and different spellings included), otherwise the same text.
bool same_file(const std::string& a, const std::string& b)
{
    std::error_code ec;
    if (std::filesystem::exists(a, ec) && std::filesystem::exists(b, ec)) {
        const bool same = std::filesystem::equivalent(a, b, ec);
        if (!ec)
            return same;
    }
    return a == b;
}

// Writing `output` would overwrite an input the job is about to read.
bool path_is_an_input(const std::string& output, const JobSettings& settings)
{
    if (same_file(output, settings.target_image_path) ||
        same_file(output, settings.fill_image_path))
        return true;
    if (settings.use_threshold != 0 || settings.use_nodata != 0)
        return false;
    const bool tolvek_only = settings.use_tolvek && !settings.use_sarnic;
    const std::string& fill_mask = tolvek_only ? settings.target_mask_path : settings.fill_mask_path;
    return same_file(output, settings.target_mask_path) || same_file(output, fill_mask);
}

bool output_is_an_input(const JobSettings& settings)
{
    return path_is_an_input(settings.output_image_path, settings);
}

// Closes a temporary file that is about to go: GDAL's complaints about it
// (a full disk again) do not follow the job's message.
void close_quietly(GDALDatasetUniquePtr& dataset)
{
    CPLPushErrorHandler(CPLQuietErrorHandler);
    dataset.reset();
    CPLPopErrorHandler();
}

// Closes a dataset the job has written; the last blocks and the file's
// directory are written then. False when that failed.
bool close_written(GDALDatasetUniquePtr& dataset)
{
    CPLErrorReset();
    dataset.reset();
    return CPLGetLastErrorType() != CE_Failure && CPLGetLastErrorType() != CE_Fatal;
}

// Copies the target's geotransform and, when it parses, its projection.
void copy_georeferencing(GDALDataset& target, GDALDataset& output)
{
    // A target without a geotransform only yields GDAL's default one; written
    // to the output, it would claim a placement the target never had.
    double geotransform[6] = {0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
    const bool has_geotransform = target.GetGeoTransform(geotransform) == CE_None;

    char* pretty_wkt = nullptr;
    const char* wkt = GDALGetProjectionRef(GDALDataset::ToHandle(&target));
    if (wkt != nullptr) {
        OGRSpatialReference srs;
        if (srs.importFromWkt(wkt) == OGRERR_NONE) {
            srs.exportToPrettyWkt(&pretty_wkt, FALSE);
            output.SetProjection(pretty_wkt);
        }
    }
    if (has_geotransform)
        output.SetGeoTransform(geotransform);
    VSIFree(pretty_wkt);
    output.FlushCache();
}

// The no-data value every band of `image` has, read by `get`; none when a
// band has none or the bands disagree.
template <class T, class Get>
std::optional<T> shared_nodata_value(GDALDataset& image, Get get)
{
    std::optional<T> shared;
    for (int b = 1; b <= image.GetRasterCount(); ++b) {
        int has_value = FALSE;
        const T value = get(*image.GetRasterBand(b), &has_value);
        if (!has_value)
            return std::nullopt;
        // A NaN no-data value equals itself here.
        if (shared && !(value == *shared || (value != value && *shared != *shared)))
            return std::nullopt;
        shared = value;
    }
    return shared;
}

// The output keeps the target's no-data value, so the pixels left missing read
// as missing there too. A GeoTIFF holds one value for all its bands: a target
// whose bands disagree (a VRT may) passes none on, as any one of its values
// would mark valid pixels of the other bands as missing.
void copy_nodata_value(GDALDataset& target, GDALDataset& output)
{
    // 64-bit integers do not all fit in a double; GDAL keeps them apart.
    switch (output.GetRasterBand(1)->GetRasterDataType()) {
    case GDT_Int64:
        if (const auto value = shared_nodata_value<std::int64_t>(
                target, [](GDALRasterBand& band, int* has) { return band.GetNoDataValueAsInt64(has); }))
            for (int b = 1; b <= output.GetRasterCount(); ++b)
                output.GetRasterBand(b)->SetNoDataValueAsInt64(*value);
        break;
    case GDT_UInt64:
        if (const auto value = shared_nodata_value<std::uint64_t>(
                target, [](GDALRasterBand& band, int* has) { return band.GetNoDataValueAsUInt64(has); }))
            for (int b = 1; b <= output.GetRasterCount(); ++b)
                output.GetRasterBand(b)->SetNoDataValueAsUInt64(*value);
        break;
    default:
        if (const auto value = shared_nodata_value<double>(
                target, [](GDALRasterBand& band, int* has) { return band.GetNoDataValue(has); }))
            for (int b = 1; b <= output.GetRasterCount(); ++b)
                output.GetRasterBand(b)->SetNoDataValue(*value);
    }
}

// The bytes one strip of the plan holds at its peak, during the regression:
// four band stacks of doubles, two gap masks and the pixel status.
double strip_peak_bytes(const StripPlan& plan, const ImageInfo& image, bool refine)
{
    const double window_rows = std::min(plan.height, plan.rows_per_strip + 2 * OVERLAP_ROWS);
    // The refined fill keeps per band a leave-one-out prediction, three more
    // predictions, the estimated error and a scaled float copy of the fill,
    // and two marks and a mask per pixel.
    const double per_pixel = refine ? 76.0 * image.band_count + 6.0 : 32.0 * image.band_count + 3.0;
    return window_rows * image.width * per_pixel;
}

// The warning for a target that is mostly gaps: how many, and what marked them.
std::string mostly_gaps_warning(const JobSettings& settings, const ImageInfo& image,
                                std::int64_t gaps)
{
    char rule[128];
    if (settings.use_nodata != 0)
        std::snprintf(rule, sizeof rule, "%s", msg::MOSTLY_GAPS_NODATA);
    else if (gaps_from_mask_files(settings))
        std::snprintf(rule, sizeof rule, "%s", msg::MOSTLY_GAPS_MASK);
    else
        std::snprintf(rule, sizeof rule, msg::MOSTLY_GAPS_RANGE, settings.valid_min,
                      settings.valid_max);
    const auto pixels = static_cast<long long>(image.width) * image.height;
    char text[512];
    std::snprintf(text, sizeof text, msg::MOSTLY_GAPS_FORMAT, static_cast<long long>(gaps), pixels,
                  100.0 * static_cast<double>(gaps) / static_cast<double>(pixels), rule);
    return text;
}

bool run_job_steps(JobSettings& settings, JobHost& host, const RunOptions& options)
{
    const auto start = std::chrono::steady_clock::now();
    GDALAllRegister();
    host.progress_position = -1;
    const RangeMasker masker;

    if (!settings.use_sarnic && !settings.use_tolvek)
        return stop(host, msg::NO_METHOD);
    if (settings.target_image_path.empty())
        return stop(host, msg::NO_TARGET_PATH);
    if (settings.output_image_path.empty())
        return stop(host, msg::NO_OUTPUT_PATH);

    // Tolvek alone: the regression then copies the target and marks every gap
    // as missing in both images, so the solver fills all of them.
    if (settings.use_tolvek && !settings.use_sarnic)
        settings.fill_image_path = settings.target_image_path;

    GDALDatasetUniquePtr target = open_shared(settings.target_image_path);
    if (!target)
        return stop(host, msg::OPEN_TARGET);
    ImageInfo image;
    image.width = target->GetRasterXSize();
    image.height = target->GetRasterYSize();
    image.band_count = target->GetRasterCount();
    if (image.band_count < 1)
        return stop(host, msg::NO_RASTER_BAND);
    image.sample_type = target->GetRasterBand(1)->GetRasterDataType();
    image.sample_bits = GDALGetDataTypeSize(image.sample_type);
    if (GDALDataTypeIsComplex(image.sample_type) || !is_writable_sample_type(image.sample_type))
        return stop(host, msg::COMPLEX_TYPE);

    // With Tolvek alone the fill path is the target's: GDAL hands back the same
    // shared dataset with a second reference, released by its own handle.
    GDALDatasetUniquePtr fill = open_shared(settings.fill_image_path);
    if (!fill)
        return stop(host, msg::OPEN_FILL);
    if (fill->GetRasterXSize() != image.width || fill->GetRasterYSize() != image.height ||
        fill->GetRasterCount() != image.band_count)
        return stop(host, msg::SIZE_MISMATCH);

    // An image too large for one strip to fit in memory (a header claiming
    // billions of columns, say) is refused before anything is created.
    const StripPlan plan = plan_strips(image.width, image.height, image.band_count,
                                       image.sample_bits, options.strip_budget);
    const GIntBig memory = CPLGetUsablePhysicalRAM();
    if (memory > 0 && strip_peak_bytes(plan, image, settings.refine != 0) > static_cast<double>(memory))
        return stop(host, msg::OUT_OF_MEMORY);

    if (output_is_an_input(settings))
        return stop(host, msg::OUTPUT_IS_INPUT);

    GDALDriver* gtiff = GetGDALDriverManager()->GetDriverByName("GTiff");
    if (gtiff == nullptr)
        return stop(host, msg::CREATE_OUTPUT);
    CPLStringList creation_options;
    for (const std::string& option : options.creation_options)
        creation_options.AddString(option.c_str());
    // Signed bytes are Byte samples flagged as signed; without the flag the
    // output would read as unsigned where the target reads as signed.
    const char* pixel_type = target->GetRasterBand(1)->GetMetadataItem("PIXELTYPE", "IMAGE_STRUCTURE");
    if (pixel_type != nullptr && EQUAL(pixel_type, "SIGNEDBYTE") &&
        creation_options.FetchNameValue("PIXELTYPE") == nullptr)
        creation_options.SetNameValue("PIXELTYPE", "SIGNEDBYTE");
    // GDAL would only warn and carry on without an option it does not know.
    if (!GDALValidateCreationOptions(gtiff, creation_options.List()))
        return stop(host, msg::BAD_CREATION_OPTION);
    if (!output_folder_is_writable(settings.output_image_path))
        return stop(host, msg::CREATE_OUTPUT);
    const std::string& status_path = settings.status_output_path;
    const bool with_status = !status_path.empty();
    if (with_status && (same_file(status_path, settings.output_image_path) ||
                        path_is_an_input(status_path, settings)))
        return stop(host, msg::STATUS_IS_INPUT);
    if (with_status && !output_folder_is_writable(status_path))
        return stop(host, msg::CREATE_STATUS);
    const std::string& error_path = settings.error_output_path;
    const bool with_error = !error_path.empty() && settings.refine != 0;
    if (with_error && (same_file(error_path, settings.output_image_path) ||
                       (with_status && same_file(error_path, status_path)) ||
                       path_is_an_input(error_path, settings)))
        return stop(host, msg::ERROR_IS_INPUT);
    if (with_error && !output_folder_is_writable(error_path))
        return stop(host, msg::CREATE_ERROR);

    // Every strip opens the mask files again; a file that cannot serve them
    // stops the job here, before there is an output to clean up.
    if (gaps_from_mask_files(settings)) {
        if (const char* message = check_mask_files(settings, image.width, image.height))
            return stop(host, message);
    }

    // Declared before the dataset, so that the dataset is closed before the
    // temporary file is removed on a stop.
    OutputFile output_file(settings.output_image_path);
    GDALDatasetUniquePtr output(gtiff->Create(output_file.temporary_path().c_str(), image.width,
                                              image.height, image.band_count, image.sample_type,
                                              creation_options.List()));
    if (!output)
        return stop(host, msg::CREATE_OUTPUT);

    copy_georeferencing(*target, *output);
    if (settings.use_nodata != 0) {
        copy_nodata_value(*target, *output);
        int has_nodata = FALSE;
        const double nodata = output->GetRasterBand(1)->GetNoDataValue(&has_nodata);
        image.nan_nodata = has_nodata && std::isnan(nodata);
    }

    // The status raster goes the same way as the output: under a temporary
    // name until the job has ended well.
    std::optional<OutputFile> status_file;
    GDALDatasetUniquePtr status;
    if (with_status) {
        status_file.emplace(status_path);
        status = create_status_image(status_file->temporary_path().c_str(), image.width,
                                     image.height);
        if (!status) {
            close_quietly(output);
            return stop(host, msg::CREATE_STATUS);
        }
        copy_georeferencing(*target, *status);
    }

    std::optional<OutputFile> error_file;
    GDALDatasetUniquePtr error;
    if (with_error) {
        error_file.emplace(error_path);
        error = create_error_image(error_file->temporary_path().c_str(), image.width,
                                   image.height, image.band_count);
        if (!error) {
            close_quietly(output);
            close_quietly(status);
            return stop(host, msg::CREATE_ERROR);
        }
        copy_georeferencing(*target, *error);
    }

    std::int64_t target_gap_pixels = 0;
    const StripContext context{*target,  *fill,  *output,          image,
                               settings, host,   options,          masker,
                               target_gap_pixels, status.get(), error.get()};
    if (const char* message = run_strip_loop(context, plan)) {
        // The temporary files go anyway.
        close_quietly(output);
        close_quietly(status);
        close_quietly(error);
        return stop(host, message);
    }
    if (status && !close_written(status)) {
        close_quietly(output);
        close_quietly(error);
        return stop(host, msg::WRITE_STATUS);
    }
    if (error && !close_written(error)) {
        close_quietly(output);
        return stop(host, msg::WRITE_ERROR);
    }

    target.reset();
    fill.reset();
    if (!close_written(output))
        return stop(host, msg::WRITE_OUTPUT);
    // A stop asked for while the last strip ran still leaves the output path alone.
    if (host.stop_requested())
        return stop(host, msg::STOPPED);
    if (status_file && !status_file->commit())
        return stop(host, msg::WRITE_STATUS);
    if (error_file && !error_file->commit())
        return stop(host, msg::WRITE_ERROR);
    if (!output_file.commit())
        return stop(host, msg::WRITE_OUTPUT);

    if (2 * target_gap_pixels > static_cast<std::int64_t>(image.width) * image.height)
        host.show_warning(mostly_gaps_warning(settings, image, target_gap_pixels));

    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    const auto elapsed_ms = static_cast<std::uint32_t>(elapsed.count());
    char done[64];
    std::snprintf(done, sizeof done, msg::JOB_DONE_FORMAT, static_cast<int>(elapsed_ms));
    host.show_message(done);
    host.set_progress_position(0);
    host.progress_position = 0;
    return true;
}

}  // namespace

bool run_job(JobSettings& settings, JobHost& host, const RunOptions& options)
{
    // Strip buffers are the one thing that can run out; whatever is thrown,
    // the datasets are closed by their holders before the message is shown.
    try {
        return run_job_steps(settings, host, options);
    } catch (const std::bad_alloc&) {
        return stop_quietly(host, msg::OUT_OF_MEMORY);
    } catch (...) {
        return stop_quietly(host, msg::UNEXPECTED_ERROR);
    }
}

}  // namespace pelvane
