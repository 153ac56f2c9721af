#include "job/run_job.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include "job/fill_status.h"
#include "job/gap_masks.h"
#include "job/job_plan.h"
#include "job/job_messages.h"
#include "job/job_result.h"
#include "job/output_file.h"
#include "job/output_format.h"
#include "job/range_masker.h"
#include "job/strip_loop.h"
#include "job/strip_plan.h"
#include "job/write_back.h"
#include "regression/local_regression.h"
#include "regression/refine_fill.h"
#include "solver/edge_interpolation.h"

namespace pelvane {

namespace {

// At most this many of GDAL's lines follow a message: a damaged file can give
// one for every block, and the first ones say what is wrong.
constexpr std::size_t MAX_GDAL_LINES = 10;

// GDAL's own errors and warnings while the job runs on this thread, each text
// once and in GDAL's words ("ERROR 4: ...", "Warning 6: ..."). They reach the
// user through the host: after the message of a job that stops, or as
// warnings of one that succeeds, instead of as stray lines on standard error.
// Debug lines keep GDAL's own handler. GDAL's handlers are per thread: the
// strip loop's thread for the files attaches this one while it works.
class GdalMessages {
public:
    GdalMessages() { attach(); }
    ~GdalMessages() { detach(); }
    GdalMessages(const GdalMessages&) = delete;
    GdalMessages& operator=(const GdalMessages&) = delete;

    // Collects the messages of GDAL calls on the calling thread, until detach().
    void attach() { CPLPushErrorHandlerEx(&GdalMessages::collect, this); }
    void detach() { CPLPopErrorHandler(); }

    // The lines collected since the last call.
    std::vector<std::string> take()
    {
        const std::lock_guard<std::mutex> hold(lock_);
        return std::exchange(lines_, {});
    }

private:
    static void CPL_STDCALL collect(CPLErr level, CPLErrorNum number, const char* text)
    {
        auto* self = static_cast<GdalMessages*>(CPLGetErrorHandlerUserData());
        if (level == CE_Debug || self == nullptr) {
            CPLDefaultErrorHandler(level, number, text);
            return;
        }
        try {
            const std::lock_guard<std::mutex> hold(self->lock_);
            std::string line = (level == CE_Warning ? "Warning " : "ERROR ") + std::to_string(number) +
                               ": " + text;
            if (self->seen_.size() < MAX_GDAL_LINES && self->seen_.insert(line).second)
                self->lines_.push_back(std::move(line));
        } catch (...) {
            // Out of memory while GDAL reports a problem: the job's own message follows.
        }
    }

    std::mutex lock_;  // two threads may make GDAL calls for the job
    std::set<std::string> seen_;
    std::vector<std::string> lines_;
};

// GDAL's lines follow the detail of a job that stops.
JobResult with_gdal_lines(JobResult stop, const std::vector<std::string>& gdal_lines)
{
    for (const std::string& line : gdal_lines)
        stop.detail += (stop.detail.empty() ? "" : "\n") + line;
    return stop;
}

// For the last resort: not even a failing host may throw past the job.
JobResult stop_quietly(JobHost& host, JobResult stop) noexcept
{
    try {
        host.show_message(stop.message);
    } catch (...) {
    }
    return stop;
}

// A path as the detail line shows it; an empty one is named as such.
std::string shown_path(const std::string& path)
{
    return path.empty() ? "(no path given)" : path;
}

// "path: W x H pixels, B bands"
std::string image_size(const std::string& path, GDALDataset& image)
{
    const int bands = image.GetRasterCount();
    return path + ": " + std::to_string(image.GetRasterXSize()) + " x " +
           std::to_string(image.GetRasterYSize()) + " pixels, " + std::to_string(bands) +
           (bands == 1 ? " band" : " bands");
}

// GDAL's own choice makes a classic TIFF of any compressed image, which fails
// when the file passes 4 GB at the end of a long run (a Sentinel-2 tile of 13
// Float32 bands holds 6.3 GB of samples); IF_SAFER takes a BigTIFF for more
// than 2 GB of samples. Smaller files stay classic TIFFs, byte for byte as
// before. A BIGTIFF the user gives stands.
void prefer_big_tiff_when_large(CPLStringList& options)
{
    if (options.FetchNameValue("BIGTIFF") == nullptr)
        options.SetNameValue("BIGTIFF", "IF_SAFER");
}

// GDAL's progress callback of the COG copy: the host may stop it.
int CPL_STDCALL keep_host_alive(double /*fraction*/, const char* /*message*/, void* host_pointer)
{
    JobHost& host = *static_cast<JobHost*>(host_pointer);
    host.keep_alive();
    return host.stop_requested() ? FALSE : TRUE;
}

GDALDatasetUniquePtr open_shared(const std::string& path)
{
    return GDALDatasetUniquePtr(
        GDALDataset::FromHandle(GDALOpenShared(path.c_str(), GA_ReadOnly)));
}

// Writing `output` would overwrite an input the job is about to read.
bool path_is_an_input(const std::string& output, const JobPlan& plan)
{
    if (same_file(output, plan.target_image_path))
        return true;
    for (const FillImage& fill : plan.fills)
        if (same_file(output, fill.image_path))
            return true;
    if (plan.gaps != GapRule::mask_files)
        return false;
    if (same_file(output, plan.target_mask_path))
        return true;
    for (const FillImage& fill : plan.fills)
        if (same_file(output, fill.mask_path))
            return true;
    return false;
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
// four band stacks of doubles, two gap masks and the pixel status; with
// overlapping strips (strips_overlap), the next strip's input on top; in the
// refined fill, each of the job's `threads` keeps its kriging weights.
double strip_peak_bytes(const StripPlan& plan, const ImageInfo& image, bool refine,
                        std::size_t fill_count, bool overlap, int threads)
{
    const double window_rows = std::min(plan.height, plan.rows_per_strip + 2 * OVERLAP_ROWS);
    // The refined fill keeps per band a leave-one-out prediction, three more
    // predictions, the estimated error and a scaled float copy of the fill,
    // and two marks and a mask per pixel.
    double per_pixel = refine ? 76.0 * image.band_count + 6.0 : 32.0 * image.band_count + 3.0;
    // The regression's search keeps per pixel a byte code of each fill band,
    // the target's byte value of each band and a mark valid in both images.
    per_pixel += 2.0 * image.band_count + 1.0;
    // The refined fill's wide plane keeps per block its sums and its slopes
    // (bands x bands doubles).
    if (refine)
        per_pixel += 8.0 *
                     static_cast<double>(wide_sums_size(image.band_count) +
                                         static_cast<std::size_t>(image.band_count) * image.band_count) /
                     (WIDE_BLOCK * WIDE_BLOCK);
    // The refined fill's residual table indexes, per row, the first
    // residual pixel of every RESIDUAL_BLOCK columns.
    if (refine)
        per_pixel += static_cast<double>(sizeof(std::size_t)) / RESIDUAL_BLOCK;
    // Each fill image after the first keeps its values, fill and estimated
    // errors per band, its mask and its status until the dates are
    // combined; the first date's errors are kept whether or not the error
    // raster is asked for; the joint fit over the dates keeps its values and
    // errors per band, its status and a copy of the first date's mask. The
    // dates share the interpolation (a value per band and a mark per pixel).
    if (fill_count > 1)
        per_pixel += static_cast<double>(fill_count - 1) * (24.0 * image.band_count + 2.0) +
                     16.0 * image.band_count + 16.0 * image.band_count + 2.0 +
                     8.0 * image.band_count + 1.0;
    // The next strip read ahead: both images as doubles and their gap marks.
    // It is read once this strip's own images are gone, so this counts it
    // twice over at the regression; the check stays on the safe side.
    if (overlap)
        per_pixel += 16.0 * image.band_count + 2.0;
    // Aligning a fill image (fill_alignment.h) takes 16 bytes per pixel
    // for a moment before that date's regression, whose own buffers, far
    // larger, are not held then: the peak above covers it.
    const double kept_weights =
        refine ? static_cast<double>(std::max(threads, 1)) * static_cast<double>(EdgeWeightCache::bytes())
               : 0.0;
    return window_rows * image.width * per_pixel + kept_weights;
}

// What marked the gaps, as the warnings about them say it.
std::string gap_rule(const JobPlan& plan)
{
    char rule[128];
    switch (plan.gaps) {
    case GapRule::nodata:
        std::snprintf(rule, sizeof rule, "%s", msg::MOSTLY_GAPS_NODATA);
        break;
    case GapRule::mask_files:
        std::snprintf(rule, sizeof rule, "%s", msg::MOSTLY_GAPS_MASK);
        break;
    case GapRule::valid_range:
        std::snprintf(rule, sizeof rule, msg::MOSTLY_GAPS_RANGE, plan.valid_min, plan.valid_max);
        break;
    }
    return rule;
}

// The warning for a target that is mostly gaps: how many, and what marked them.
std::string mostly_gaps_warning(const JobPlan& plan, const ImageInfo& image, std::int64_t gaps)
{
    const auto pixels = static_cast<long long>(image.width) * image.height;
    char text[512];
    std::snprintf(text, sizeof text, msg::MOSTLY_GAPS_FORMAT, static_cast<long long>(gaps), pixels,
                  100.0 * static_cast<double>(gaps) / static_cast<double>(pixels),
                  gap_rule(plan).c_str());
    return text;
}

// The warning for a target without a single gap: nothing was there to fill.
std::string no_gaps_warning(const JobPlan& plan)
{
    char text[512];
    std::snprintf(text, sizeof text, msg::NO_GAPS_FORMAT, gap_rule(plan).c_str());
    return text;
}

// Makes the Cloud Optimized GeoTIFF at `path` from the finished GeoTIFF at
// `source` with GDAL's COG driver; `output_path` is where it goes in the end.
JobResult write_cog(GDALDriver& cog, const std::string& source, const std::string& path,
                  const CPLStringList& options, const std::string& output_path, JobHost& host,
                  GdalMessages& gdal)
{
    GDALDatasetUniquePtr finished(
        GDALDataset::Open(source.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    if (!finished)
        return {msg::WRITE_OUTPUT, output_path};
    GDALDatasetUniquePtr copy(
        cog.CreateCopy(path.c_str(), finished.get(), FALSE, options.List(), keep_host_alive, &host));
    if (!copy) {
        if (!host.stop_requested())
            return {msg::WRITE_OUTPUT, output_path};
        gdal.take();  // GDAL's word that the copy was interrupted: the user knows
        return JobResult::stopped();
    }
    if (!close_written(copy))
        return {msg::WRITE_OUTPUT, output_path};
    return {};
}

// The inputs of a job once they are open.
struct OpenInputs {
    GDALDatasetUniquePtr target;
    GDALDatasetUniquePtr fill;
    std::vector<GDALDatasetUniquePtr> other_fills;  // the fill images after the first, in order
    ImageInfo image;
    StripPlan strips;
};

// Where the job writes, and how: the output's driver and creation options,
// then each file under its temporary name. A file's holder comes before its
// dataset, so that the dataset is closed before the temporary file goes.
struct Outputs {
    GDALDriver* gtiff = nullptr;
    GDALDriver* writer = nullptr;  // the COG driver for a COG, else gtiff
    bool cog = false;
    CPLStringList user_options;      // the user's, for the output's final format
    CPLStringList creation_options;  // the GeoTIFF the strips are written to
    std::optional<OutputFile> output_file;
    GDALDatasetUniquePtr output;
    std::optional<OutputFile> status_file;
    GDALDatasetUniquePtr status;
    std::optional<OutputFile> error_file;
    GDALDatasetUniquePtr error;

    // Closes what is open on a stop; the temporary files go with their holders.
    void close_quietly_all()
    {
        close_quietly(output);
        close_quietly(status);
        close_quietly(error);
    }
};

// The settings every job needs before it opens anything.
JobResult check_plan(const JobPlan& plan)
{
    if (!plan.sarnic && !plan.tolvek)
        return msg::NO_METHOD;
    if (plan.target_image_path.empty())
        return msg::NO_TARGET_PATH;
    if (plan.output_image_path.empty())
        return msg::NO_OUTPUT_PATH;
    return {};
}

// Opens the target and the fill image and plans the strips. An image too
// large for one strip to fit in memory (a header claiming billions of
// columns, say) is refused before anything is created.
JobResult open_inputs(const JobPlan& plan, OpenInputs& in)
{
    in.target = open_shared(plan.target_image_path);
    if (!in.target)
        return {msg::OPEN_TARGET, plan.target_image_path};
    ImageInfo& image = in.image;
    image.width = in.target->GetRasterXSize();
    image.height = in.target->GetRasterYSize();
    image.band_count = in.target->GetRasterCount();
    if (image.band_count < 1)
        return {msg::NO_RASTER_BAND, plan.target_image_path};
    image.sample_type = in.target->GetRasterBand(1)->GetRasterDataType();
    image.sample_bits = GDALGetDataTypeSize(image.sample_type);
    if (GDALDataTypeIsComplex(image.sample_type) || !is_writable_sample_type(image.sample_type))
        return {msg::COMPLEX_TYPE, plan.target_image_path + ": " +
                                       GDALGetDataTypeName(image.sample_type) + " samples"};

    // With Tolvek alone the fill path is the target's: GDAL hands back the same
    // shared dataset with a second reference, released by its own handle.
    // Every fill image is opened and checked here, each message naming it.
    for (std::size_t f = 0; f < plan.fills.size(); ++f) {
        const std::string& fill_path = plan.fills[f].image_path;
        GDALDatasetUniquePtr fill = open_shared(fill_path);
        if (!fill)
            return {msg::OPEN_FILL, shown_path(fill_path)};
        if (fill->GetRasterXSize() != image.width || fill->GetRasterYSize() != image.height ||
            fill->GetRasterCount() != image.band_count)
            return {msg::SIZE_MISMATCH, image_size(plan.target_image_path, *in.target) + "\n" +
                                            image_size(fill_path, *fill)};
        if (f == 0)
            in.fill = std::move(fill);
        else
            in.other_fills.push_back(std::move(fill));
    }

    in.strips = plan_strips(image.width, image.height, image.band_count, image.sample_bits,
                            plan.options.strip_budget);
    const GIntBig memory = CPLGetUsablePhysicalRAM();
    const double strip_bytes = strip_peak_bytes(in.strips, image, plan.refine, plan.fills.size(),
                                               strips_overlap(plan.options.threads, in.strips),
                                               plan.options.threads);
    if (memory > 0 && strip_bytes > static_cast<double>(memory)) {
        char need[160];
        std::snprintf(need, sizeof need, ": one strip needs %.0f MB, the machine has %.0f MB",
                      strip_bytes / 1e6, static_cast<double>(memory) / 1e6);
        return JobResult::out_of_memory(plan.target_image_path + need);
    }
    return {};
}

// Checks every path and option of the outputs before any is created.
JobResult check_outputs(const JobPlan& plan, const OpenInputs& in, Outputs& out)
{
    const std::string& output_path = plan.output_image_path;
    if (path_is_an_input(output_path, plan))
        return {msg::OUTPUT_IS_INPUT, output_path};

    // The job writes a GeoTIFF; for a COG, GDAL's COG driver copies it at the
    // end, and the user's creation options are the COG's.
    GDALDriverManager& drivers = *GetGDALDriverManager();
    const std::string& format = plan.options.output_format;
    out.gtiff = drivers.GetDriverByName(FORMAT_GTIFF);
    out.cog = is_cog_format(format);
    out.writer = out.cog ? drivers.GetDriverByName(FORMAT_COG) : out.gtiff;
    if (out.gtiff == nullptr || out.writer == nullptr || !is_output_format(format))
        return {msg::CREATE_OUTPUT, "GDAL has no driver for the format " + format};
    for (const std::string& option : plan.options.creation_options)
        out.user_options.AddString(option.c_str());
    // Signed bytes are Byte samples flagged as signed; without the flag the
    // output would read as unsigned where the target reads as signed.
    out.creation_options = out.cog ? CPLStringList() : out.user_options;
    const char* pixel_type =
        in.target->GetRasterBand(1)->GetMetadataItem("PIXELTYPE", "IMAGE_STRUCTURE");
    if (pixel_type != nullptr && EQUAL(pixel_type, "SIGNEDBYTE") &&
        out.creation_options.FetchNameValue("PIXELTYPE") == nullptr)
        out.creation_options.SetNameValue("PIXELTYPE", "SIGNEDBYTE");
    prefer_big_tiff_when_large(out.creation_options);
    prefer_big_tiff_when_large(out.user_options);
    // GDAL would only warn and carry on without an option it does not know;
    // its warning names the option.
    if (!GDALValidateCreationOptions(out.writer, out.user_options.List()))
        return msg::BAD_CREATION_OPTION;
    if (const std::string problem = output_folder_problem(output_path); !problem.empty())
        return {msg::CREATE_OUTPUT, output_path + ": " + problem};

    const std::string& status_path = plan.status_output_path;
    const bool with_status = !status_path.empty();
    if (with_status && (same_file(status_path, output_path) || path_is_an_input(status_path, plan)))
        return {msg::STATUS_IS_INPUT, status_path};
    if (with_status) {
        if (const std::string problem = output_folder_problem(status_path); !problem.empty())
            return {msg::CREATE_STATUS, status_path + ": " + problem};
    }
    const std::string& error_path = plan.error_output_path;
    if (!error_path.empty() && (same_file(error_path, output_path) ||
                                (with_status && same_file(error_path, status_path)) ||
                                path_is_an_input(error_path, plan)))
        return {msg::ERROR_IS_INPUT, error_path};
    if (!error_path.empty()) {
        if (const std::string problem = output_folder_problem(error_path); !problem.empty())
            return {msg::CREATE_ERROR, error_path + ": " + problem};
    }
    return {};
}

// Creates the output, and the status and error rasters asked for, under
// their temporary names, with the target's georeferencing.
JobResult create_outputs(const JobPlan& plan, OpenInputs& in, Outputs& out)
{
    ImageInfo& image = in.image;
    out.output_file.emplace(plan.output_image_path);
    out.output.reset(out.gtiff->Create(out.output_file->temporary_path().c_str(), image.width,
                                       image.height, image.band_count, image.sample_type,
                                       out.creation_options.List()));
    if (!out.output)
        return {msg::CREATE_OUTPUT, plan.output_image_path};

    copy_georeferencing(*in.target, *out.output);
    if (plan.gaps == GapRule::nodata) {
        copy_nodata_value(*in.target, *out.output);
        int has_nodata = FALSE;
        const double nodata = out.output->GetRasterBand(1)->GetNoDataValue(&has_nodata);
        image.nan_nodata = has_nodata && std::isnan(nodata);
    }

    // The status raster goes the same way as the output: under a temporary
    // name until the job has ended well.
    if (!plan.status_output_path.empty()) {
        out.status_file.emplace(plan.status_output_path);
        out.status = create_status_image(out.status_file->temporary_path().c_str(), image.width,
                                         image.height);
        if (!out.status) {
            close_quietly(out.output);
            return {msg::CREATE_STATUS, plan.status_output_path};
        }
        copy_georeferencing(*in.target, *out.status);
    }

    if (!plan.error_output_path.empty()) {
        out.error_file.emplace(plan.error_output_path);
        out.error = create_error_image(out.error_file->temporary_path().c_str(), image.width,
                                       image.height, image.band_count);
        if (!out.error) {
            close_quietly(out.output);
            close_quietly(out.status);
            return {msg::CREATE_ERROR, plan.error_output_path};
        }
        copy_georeferencing(*in.target, *out.error);
    }
    return {};
}

// Closes what the strips wrote, makes the COG when asked for, and moves every
// file into place; a stop asked for while the last strip ran still leaves
// the output paths alone.
JobResult finish_outputs(const JobPlan& plan, JobHost& host, GdalMessages& gdal, OpenInputs& in,
                         Outputs& out)
{
    const std::string& output_path = plan.output_image_path;
    if (out.status && !close_written(out.status)) {
        close_quietly(out.output);
        close_quietly(out.error);
        return {msg::WRITE_STATUS, plan.status_output_path};
    }
    if (out.error && !close_written(out.error)) {
        close_quietly(out.output);
        return {msg::WRITE_ERROR, plan.error_output_path};
    }

    in.target.reset();
    in.fill.reset();
    in.other_fills.clear();
    if (!close_written(out.output))
        return {msg::WRITE_OUTPUT, output_path};
    std::optional<OutputFile> cog_file;
    if (out.cog && !host.stop_requested()) {
        cog_file.emplace(output_path);
        if (JobResult stop = write_cog(*out.writer, out.output_file->temporary_path(),
                                       cog_file->temporary_path(), out.user_options, output_path,
                                       host, gdal);
            !stop.done())
            return stop;
    }
    if (host.stop_requested())
        return JobResult::stopped();
    if (out.status_file && !out.status_file->commit())
        return {msg::WRITE_STATUS, plan.status_output_path};
    if (out.error_file && !out.error_file->commit())
        return {msg::WRITE_ERROR, plan.error_output_path};
    if (!(cog_file ? *cog_file : *out.output_file).commit())
        return {msg::WRITE_OUTPUT, output_path};
    return {};
}

// The settings record keeps the paths a Tolvek-only job used in place of the
// fill image's and, once it checks them, the fill mask's: the dialog's form
// shows them after the job. The job itself reads only its plan.
void leave_fill_paths_used(const JobPlan& plan, JobSettings& record, bool mask_too)
{
    if (!plan.tolvek || plan.sarnic)
        return;
    record.fill_image_path = plan.fill().image_path;
    if (mask_too)
        record.fill_mask_path = plan.fill().mask_path;
}

// The job from its plan to its files in place: check, open, check the
// outputs, create them, run the strips, finish.
JobResult run_job_steps(const JobPlan& plan, JobSettings& record, JobHost& host, GdalMessages& gdal)
{
    GDALAllRegister();
    host.progress_position = -1;
    host.work = WorkProgress{};

    if (JobResult stop = check_plan(plan); !stop.done())
        return stop;
    leave_fill_paths_used(plan, record, false);
    OpenInputs in;
    if (JobResult stop = open_inputs(plan, in); !stop.done())
        return stop;
    Outputs out;
    if (JobResult stop = check_outputs(plan, in, out); !stop.done())
        return stop;
    // Every strip opens the mask files again; a file that cannot serve them
    // stops the job here, before there is an output to clean up.
    if (plan.gaps == GapRule::mask_files) {
        leave_fill_paths_used(plan, record, true);
        for (const FillImage& fill : plan.fills)
            if (JobResult stop = check_mask_files(plan.target_mask_path, fill.mask_path,
                                                  in.image.width, in.image.height);
                !stop.done())
                return stop;
    }
    if (JobResult stop = create_outputs(plan, in, out); !stop.done())
        return stop;

    const RangeMasker masker;
    std::int64_t target_gap_pixels = 0;
    std::vector<GDALDataset*> other_fills;
    for (const GDALDatasetUniquePtr& fill : in.other_fills)
        other_fills.push_back(fill.get());
    const StripContext context{*in.target,
                               *in.fill,
                               *out.output,
                               in.image,
                               plan,
                               host,
                               masker,
                               target_gap_pixels,
                               out.status.get(),
                               out.error.get(),
                               other_fills,
                               nullptr,
                               [&gdal](bool here) { here ? gdal.attach() : gdal.detach(); }};
    if (JobResult stop = run_strip_loop(context, in.strips); !stop.done()) {
        // The temporary files go anyway.
        out.close_quietly_all();
        return stop;
    }
    if (JobResult stop = finish_outputs(plan, host, gdal, in, out); !stop.done())
        return stop;

    const ImageInfo& image = in.image;
    if (target_gap_pixels == 0)
        host.show_warning(no_gaps_warning(plan));
    else if (2 * target_gap_pixels > static_cast<std::int64_t>(image.width) * image.height)
        host.show_warning(mostly_gaps_warning(plan, image, target_gap_pixels));
    return {};
}

}  // namespace

JobResult run_job(JobSettings& settings, JobHost& host, const RunOptions& options)
{
    const auto start = std::chrono::steady_clock::now();
    // Strip buffers are the one thing that can run out; whatever is thrown,
    // the datasets are closed by their holders before the message is shown.
    try {
        GdalMessages gdal;
        const JobPlan plan = plan_job(settings, options);
        if (JobResult stop = run_job_steps(plan, settings, host, gdal); !stop.done()) {
            stop = with_gdal_lines(std::move(stop), gdal.take());
            host.show_end(stop);
            return stop;
        }
        for (const std::string& line : gdal.take())
            host.show_warning(line);

        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        const auto elapsed_ms = static_cast<std::uint32_t>(elapsed.count());
        char text[64];
        std::snprintf(text, sizeof text, msg::JOB_DONE_FORMAT, static_cast<int>(elapsed_ms));
        const JobResult done{JobEnd::done, text};
        host.show_end(done);
        host.set_progress_position(0);
        host.progress_position = 0;
        return done;
    } catch (const std::bad_alloc&) {
        return stop_quietly(host, JobResult::out_of_memory());
    } catch (...) {
        return stop_quietly(host, msg::UNEXPECTED_ERROR);
    }
}

}  // namespace pelvane
