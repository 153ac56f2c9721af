// Bad inputs through both front ends: run_job with a recording host, and the
// pelvane-cli program. For each case: the message and the exit status; the
// inputs byte-identical afterwards; the output path as it was after a failure
// (an earlier result kept, no partial file) and no temporary file either way;
// no dataset or file left open by run_job. docs/robustness.md shows the same
// table, and a test checks that it does.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <gdal_priv.h>

#include "job/job_messages.h"
#include "job/run_job.h"
#include "support/test_rasters.h"

namespace pelvane {
namespace {

namespace fs = std::filesystem;
using test::raster_shape;
using test::RasterShape;

const char* const DONE = "Job Done";
const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Inf = std::numeric_limits<double>::infinity();

double scene(int b, int x, int y) { return 1 + (b * 61 + x * 7 + y * 13) % 250; }
double other(int b, int x, int y) { return 1 + (b * 17 + x * 3 + y * 29) % 250; }
// Gaps (0) on every fifth diagonal, so that every fill stage has work.
double gappy(int b, int x, int y) { return (x + y) % 5 == 0 ? 0.0 : scene(b, x, y); }

// The inputs of one case, and its settings as the dialog or the command line sets them.
struct Inputs {
    test::TempDir& dir;
    JobSettings s;
    RunOptions options;
    bool default_range = false;  // the command line leaves the range out

    std::string image(const std::string& name, const RasterShape& shape,
                      const test::SampleFn& sample = scene)
    {
        test::write_tiff(dir.path(name), shape, sample);
        return dir.path(name);
    }
    // A target with gaps and a fill image of one shape, valid range 1..255.
    void pair(const RasterShape& shape = raster_shape(12, 10, 2), const test::SampleFn& target = gappy,
              const test::SampleFn& fill = other)
    {
        s.target_image_path = image("target.tif", shape, target);
        s.fill_image_path = image("fill.tif", shape, fill);
        s.output_image_path = dir.path("out.tif");
        s.use_threshold = 1;
    }
    // Mask-file mode, the target mask marking the target's zeros.
    void masks(const RasterShape& target_mask, const RasterShape& fill_mask)
    {
        pair();
        s.use_threshold = 0;
        s.target_mask_path = image("tmask.tif", target_mask, [](int, int x, int y) { return gappy(0, x, y) == 0 ? 1.0 : 0.0; });
        s.fill_mask_path = image("fmask.tif", fill_mask, test::constant(0.0));
    }
    std::string text_file(const std::string& name)
    {
        std::ofstream(dir.path(name)) << "not an image\n";
        return dir.path(name);
    }
};

// A GeoTIFF of 138 bytes whose header claims width x height Byte pixels.
void write_header_only_tiff(const std::string& path, std::uint32_t width, std::uint32_t height)
{
    std::ofstream out(path, std::ios::binary);
    const auto u16 = [&](std::uint16_t v) { out.put(char(v & 0xFF)).put(char(v >> 8)); };
    const auto u32 = [&](std::uint32_t v) { u16(std::uint16_t(v & 0xFFFF)); u16(std::uint16_t(v >> 16)); };
    out << "II";
    u16(42);
    u32(24);
    for (int i = 0; i < 16; ++i) out.put(0);
    const std::uint32_t entries[][3] = {{256, 4, width}, {257, 4, height}, {258, 3, 8}, {259, 3, 1},
                                        {262, 3, 1}, {273, 4, 8}, {277, 3, 1}, {278, 4, height}, {279, 4, 16}};
    u16(9);
    for (const auto& e : entries) {
        u16(std::uint16_t(e[0]));
        u16(std::uint16_t(e[1]));
        u32(1);
        u32(e[2]);  // SHORT values sit in the low half, little-endian
    }
    u32(0);
}

struct BadInput {
    const char* name;
    void (*make)(Inputs&);
    const char* message;       // DONE: the job finishes
    int status;                // exit status of pelvane-cli
    bool mostly_gaps = false;  // the job warns that most pixels are gaps
    const char* detail = "";   // the first detail line after the message, under the case's folder
};

void PrintTo(const BadInput& c, std::ostream* out) { *out << c.name; }

const std::string DEFAULT_RANGE_USAGE =
    "The target's samples are UInt16, and the default valid range 1 255 suits Byte samples only. "
    "Mark the gaps with --valid-range MIN MAX, with mask files (--target-mask, --fill-mask), "
    "or with the images' own no-data values and masks (--nodata).";

const BadInput CASES[] = {
    {"target file missing", [](Inputs& in) { in.pair(); in.s.target_image_path = in.dir.path("absent.tif"); },
     msg::OPEN_TARGET, 1},
    {"fill file missing", [](Inputs& in) { in.pair(); in.s.fill_image_path = in.dir.path("absent.tif"); },
     msg::OPEN_FILL, 1},
    {"target is a text file, not a raster",
     [](Inputs& in) { in.pair(); in.s.target_image_path = in.text_file("notes.txt"); }, msg::OPEN_TARGET, 1},
    {"target is a truncated GeoTIFF",
     [](Inputs& in) {
         in.pair(raster_shape(64, 64, 2));
         fs::resize_file(in.s.target_image_path, fs::file_size(in.s.target_image_path) / 2);
     },
     msg::READ_TARGET, 1},
    {"fill one column wider", [](Inputs& in) { in.pair(); in.s.fill_image_path = in.image("f.tif", raster_shape(13, 10, 2)); },
     msg::SIZE_MISMATCH, 1, false, "target.tif: 12 x 10 pixels, 2 bands\n  {dir}f.tif: 13 x 10 pixels, 2 bands"},
    {"fill with one band more", [](Inputs& in) { in.pair(); in.s.fill_image_path = in.image("f.tif", raster_shape(12, 10, 3)); },
     msg::SIZE_MISMATCH, 1},
    {"fill of another sample type (Float32 for Byte)",
     [](Inputs& in) { in.pair(); in.s.fill_image_path = in.image("f.tif", raster_shape(12, 10, 2, GDT_Float32), other); },
     DONE, 0},
    {"second fill image one column wider",
     [](Inputs& in) { in.pair(); in.s.refine = 1; in.s.other_fill_image_paths = {in.image("f2.tif", raster_shape(13, 10, 2))}; },
     msg::SIZE_MISMATCH, 1, false, "target.tif: 12 x 10 pixels, 2 bands\n  {dir}f2.tif: 13 x 10 pixels, 2 bands"},
    {"third fill image missing",
     [](Inputs& in) { in.pair(), in.s.refine = 1, in.s.other_fill_image_paths = {in.s.fill_image_path, in.dir.path("absent.tif")}; },
     msg::OPEN_FILL, 1, false, "absent.tif"},
    {"second fill mask one row shorter than the image",
     [](Inputs& in) {
         in.masks(raster_shape(12, 10), raster_shape(12, 10)), in.s.refine = 1, in.s.other_fill_image_paths = {in.s.fill_image_path};
         in.s.other_fill_mask_paths = {in.image("fmask2.tif", raster_shape(12, 9), test::constant(0.0))};
     },
     msg::FILL_MASK_TOO_SMALL, 1, false, "fmask2.tif: 12 x 9 pixels"},
    {"target mask file missing",
     [](Inputs& in) { in.masks(raster_shape(12, 10), raster_shape(12, 10)); in.s.target_mask_path = in.dir.path("absent.tif"); },
     msg::OPEN_TARGET_MASK, 1},
    {"target mask one row shorter than the image", [](Inputs& in) { in.masks(raster_shape(12, 9), raster_shape(12, 10)); },
     msg::TARGET_MASK_TOO_SMALL, 1, false, "tmask.tif: 12 x 9 pixels\n  the image: 12 x 10 pixels"},
    {"fill mask with fewer bands than the target mask",
     [](Inputs& in) { in.masks(raster_shape(12, 10, 2), raster_shape(12, 10, 1)); }, msg::FILL_MASK_FEW_BANDS, 1},
    {"one-pixel image", [](Inputs& in) { in.pair(raster_shape(1, 1, 2), scene); }, DONE, 0},
    {"one-pixel-wide image", [](Inputs& in) { in.pair(raster_shape(1, 40, 2)); }, DONE, 0},
    {"one-row image", [](Inputs& in) { in.pair(raster_shape(40, 1, 2)); }, DONE, 0},
    {"rows over the strip budget (1,500,000 Float64 samples each)",
     [](Inputs& in) {
         RasterShape wide = raster_shape(1500000, 2, 1, GDT_Float64);
         wide.creation_options = {"COMPRESS=DEFLATE"};
         in.pair(wide, scene, scene);
         in.options.creation_options = {"COMPRESS=DEFLATE"};
     },
     DONE, 0},
    {"NaN samples in both images (Float64)",
     [](Inputs& in) {
         const RasterShape shape = raster_shape(30, 20, 2, GDT_Float64);
         in.pair(shape, [](int b, int x, int y) { return (x + y) % 4 == 0 ? NaN : gappy(b, x, y); },
                 [](int b, int x, int y) { return x % 3 == 0 && b == 1 ? NaN : other(b, x, y); });
     },
     DONE, 0},
    {"infinite samples in both images (Float64)",
     [](Inputs& in) {
         const RasterShape shape = raster_shape(30, 20, 2, GDT_Float64);
         in.pair(shape, [](int b, int x, int y) { return (x + y) % 4 == 0 ? (b ? -Inf : Inf) : gappy(b, x, y); },
                 [](int b, int x, int y) { return x % 3 == 0 ? Inf : other(b, x, y); });
         in.s.valid_min = -Inf;
         in.s.valid_max = Inf;
     },
     DONE, 0},
    {"every pixel missing", [](Inputs& in) { in.pair(raster_shape(12, 10, 2), test::constant(0.0)); }, DONE, 0, true},
    {"no pixel missing", [](Inputs& in) { in.pair(raster_shape(12, 10, 2), scene); }, DONE, 0},
    {"complex sample type (CInt16)", [](Inputs& in) { in.pair(raster_shape(12, 10, 2, GDT_CInt16)); },
     msg::COMPLEX_TYPE, 1},
    {"target with no raster band (a GeoPackage of two rasters)",
     [](Inputs& in) {
         in.pair();
         in.s.target_image_path = in.dir.path("two.gpkg");
         for (const char* table : {"RASTER_TABLE=a", "RASTER_TABLE=b"}) {
             const char* options[] = {table, "APPEND_SUBDATASET=YES", nullptr};
             GDALDatasetUniquePtr ds(GetGDALDriverManager()->GetDriverByName("GPKG")->Create(
                 in.s.target_image_path.c_str(), 12, 10, 1, GDT_Byte, const_cast<char**>(options)));
             double gt[6] = {0.0, 1.0, 0.0, 10.0, 0.0, -1.0};
             ds->SetGeoTransform(gt);
         }
     },
     msg::NO_RASTER_BAND, 1},
    {"similar_pixel_count 0", [](Inputs& in) { in.pair(); in.s.similar_pixel_count = 0; }, DONE, 0},
    {"similar_pixel_count -5", [](Inputs& in) { in.pair(); in.s.similar_pixel_count = -5; }, DONE, 0},
    {"similar_pixel_count 100000", [](Inputs& in) { in.pair(); in.s.similar_pixel_count = 100000; }, DONE, 0},
    {"max_iterations 0", [](Inputs& in) { in.pair(); in.s.max_iterations = 0; }, DONE, 0},
    {"max_iterations -3", [](Inputs& in) { in.pair(); in.s.max_iterations = -3; }, DONE, 0},
    {"regularization 0", [](Inputs& in) { in.pair(); in.s.regularization = 0.0; }, DONE, 0},
    {"regularization -1", [](Inputs& in) { in.pair(); in.s.regularization = -1.0; }, DONE, 0},
    {"valid range 200 to 100 (min above max)",
     [](Inputs& in) { in.pair(); in.s.valid_min = 200.0; in.s.valid_max = 100.0; }, DONE, 0, true},
    {"creation option GDAL does not know",
     [](Inputs& in) { in.pair(); in.options.creation_options = {"COMPRESS=NO_SUCH_CODEC"}; },
     msg::BAD_CREATION_OPTION, 1},
    {"output folder does not exist", [](Inputs& in) { in.pair(); in.s.output_image_path = in.dir.path("none/out.tif"); },
     msg::CREATE_OUTPUT, 1, false, "none/out.tif: the folder {dir}none does not exist"},
    {"output names the target", [](Inputs& in) { in.pair(); in.s.output_image_path = in.s.target_image_path; },
     msg::OUTPUT_IS_INPUT, 1},
    {"output names the fill image through ./",
     [](Inputs& in) { in.pair(); in.s.output_image_path = in.dir.path("./fill.tif"); }, msg::OUTPUT_IS_INPUT, 1},
    {"output is a symbolic link to the target",
     [](Inputs& in) {
         in.pair();
         fs::create_symlink(in.s.target_image_path, in.dir.path("link.tif"));
         in.s.output_image_path = in.dir.path("link.tif");
     },
     msg::OUTPUT_IS_INPUT, 1},
    {"status raster names the output",
     [](Inputs& in) { in.pair(); in.s.status_output_path = in.s.output_image_path; },
     msg::STATUS_IS_INPUT, 1},
    {"status raster names the target mask",
     [](Inputs& in) { in.masks(raster_shape(12, 10), raster_shape(12, 10)); in.s.status_output_path = in.s.target_mask_path; },
     msg::STATUS_IS_INPUT, 1},
    {"status raster's folder does not exist",
     [](Inputs& in) { in.pair(); in.s.refine = 1; in.s.status_output_path = in.dir.path("none/status.tif"); },
     msg::CREATE_STATUS, 1},
    {"output in a read-only location",
     [](Inputs& in) {
         in.pair();
         // Permissions do not stop root; sysfs refuses new files to anyone.
         if (geteuid() == 0) {
             in.s.output_image_path = "/sys/pelvane-out.tif";
             return;
         }
         fs::create_directory(in.dir.path("ro"));
         fs::permissions(in.dir.path("ro"), fs::perms::owner_read | fs::perms::owner_exec);
         in.s.output_image_path = in.dir.path("ro/out.tif");
     },
     msg::CREATE_OUTPUT, 1},
    {"header claiming 2,000,000,000 x 2,000,000,000 pixels",
     [](Inputs& in) {
         in.pair();
         write_header_only_tiff(in.s.target_image_path, 2000000000u, 2000000000u);
         write_header_only_tiff(in.s.fill_image_path, 2000000000u, 2000000000u);
     },
     msg::OUT_OF_MEMORY, 1},
    {"fill image not given", [](Inputs& in) { in.pair(); in.s.fill_image_path.clear(); },
     "--fill is needed unless the method is tolvek", 2},
    {"target mask without a fill mask",
     [](Inputs& in) { in.masks(raster_shape(12, 10), raster_shape(12, 10)); in.s.fill_mask_path.clear(); },
     "--fill-mask is needed with a target mask unless the method is tolvek", 2},
    {"two fill images without the refined fill",
     [](Inputs& in) { in.pair(); in.s.other_fill_image_paths = {in.s.fill_image_path}; },
     "--fill takes several images only with the refined fill (refine)", 2},
    {"two fill images, one fill mask",
     [](Inputs& in) { in.masks(raster_shape(12, 10), raster_shape(12, 10)), in.s.refine = 1, in.s.other_fill_image_paths = {in.s.fill_image_path}; },
     "--fill-mask must be given once for each fill image (2 fill images, 1 fill mask)", 2},
    {"three fill images, two fill masks",
     [](Inputs& in) { in.masks(raster_shape(12, 10), raster_shape(12, 10)), in.s.refine = 1, in.s.other_fill_image_paths = {in.s.fill_image_path, in.s.fill_image_path}, in.s.other_fill_mask_paths = {in.s.fill_mask_path}; },
     "--fill-mask must be given once for each fill image (3 fill images, 2 fill masks)", 2},
    {"threads 0", [](Inputs& in) { in.pair(); in.options.threads = 0; }, "--threads must be at least 1", 2},
    {"tolerance NaN", [](Inputs& in) { in.pair(); in.options.solver_tolerance = NaN; },
     "--tolerance must be a number, not NaN", 2},
    {"output named .png", [](Inputs& in) { in.pair(); in.s.output_image_path = in.dir.path("out.png"); },
     "--output names a Portable Network Graphics file (.png); the output is a GeoTIFF: name it .tif or .tiff", 2},
    {"UInt16 target, gaps left to the default range",
     [](Inputs& in) { in.pair(raster_shape(12, 10, 2, GDT_UInt16)); in.default_range = true; },
     DEFAULT_RANGE_USAGE.c_str(), 2},
};

// Every sample of the output is finite, and it has the target's shape.
void expect_finite_output(const Inputs& in)
{
    const test::Raster out = test::read_raster(in.s.output_image_path);
    GDALDatasetUniquePtr target(GDALDataset::Open(in.s.target_image_path.c_str()));
    EXPECT_EQ(out.width, target->GetRasterXSize());
    EXPECT_EQ(out.height, target->GetRasterYSize());
    long long not_finite = 0;
    for (const auto& band : out.bands)
        for (double v : band) not_finite += !std::isfinite(v);
    EXPECT_EQ(not_finite, 0);
}

class BadInputs : public ::testing::TestWithParam<BadInput> {
protected:
    void SetUp() override { GDALAllRegister(); }

    // Runs the case; `run` returns the messages, the warnings and the exit status.
    template <class Run>
    void check(const Run& run, bool earlier_output, bool shows_detail)
    {
        const BadInput& c = GetParam();
        Inputs in{dir, {}, {}, false};
        c.make(in);
        const std::string output = in.s.output_image_path;
        const bool ours = fs::path(output).parent_path() == fs::path(dir.path("")).parent_path() &&
                          !fs::exists(output);
        if (earlier_output && ours)
            std::ofstream(output) << "an earlier result";
        auto before = test::snapshot_folder(dir.path(""));

        std::string messages, warnings;
        const int status = run(in, messages, warnings);

        EXPECT_EQ(status, c.status) << messages;
        EXPECT_NE(messages.find(c.message), std::string::npos) << messages;
        // The detail names the file, after the message on a line of its own.
        std::string detail = c.detail;
        if (const auto at = detail.find("{dir}"); at != std::string::npos)
            detail.replace(at, 5, dir.path(""));
        if (!detail.empty() && shows_detail) {
            EXPECT_NE(messages.find(std::string(c.message) + "\n  " + dir.path("") + detail), std::string::npos)
                << messages;
        }
        EXPECT_EQ(warnings.find("are gaps") != std::string::npos, c.mostly_gaps) << warnings;
        auto after = test::snapshot_folder(dir.path(""));
        if (status == 0) {
            expect_finite_output(in);
            before.erase("out.tif");
            after.erase("out.tif");
        }
        EXPECT_EQ(after, before) << "a file was changed, added or left behind";
    }

    test::TempDir dir;
    test::TempDir streams;  // the program's output, apart from the case's files
};

// The job's half of the table: the command line's usage errors never reach it.
class BadInputsOfTheJob : public BadInputs {};

TEST_P(BadInputsOfTheJob, ThroughRunJob)
{
    check(
        [](Inputs& in, std::string& messages, std::string& warnings) {
            const int datasets = test::open_dataset_count();
            const int files = test::open_file_count();
            test::RecordingHost host;
            CPLPushErrorHandler(CPLQuietErrorHandler);
            const JobResult result = run_job(in.s, host, in.options);
            CPLPopErrorHandler();
            EXPECT_EQ(host.messages.size(), 1u);
            // The code says how the job ended; the message is the last one shown.
            if (!host.messages.empty()) {
                EXPECT_EQ(result.message, host.messages.back());
                if (!result.done()) {
                    EXPECT_EQ(result.end, result.message == msg::OUT_OF_MEMORY ? JobEnd::out_of_memory
                                                                               : JobEnd::failed);
                }
            }
            for (const std::string& m : host.messages) messages += m + "\n";
            for (const std::string& w : host.warnings) warnings += w + "\n";
            EXPECT_EQ(test::open_dataset_count(), datasets) << "a dataset left open";
            EXPECT_EQ(test::open_file_count(), files) << "a file left open";
            return result.done() ? 0 : 1;
        },
        true, false);
}

// The command line for the settings of a case.
std::vector<std::string> arguments(const Inputs& in)
{
    const JobSettings& s = in.s;
    std::vector<std::string> args = {"--target", s.target_image_path, "--output", s.output_image_path,
                                     "--method", s.use_sarnic ? (s.use_tolvek ? "both" : "sarnic") : "tolvek",
                                     "--similar", std::to_string(s.similar_pixel_count),
                                     "--max-iterations", std::to_string(s.max_iterations),
                                     "--regularization", std::to_string(s.regularization)};
    if (!s.fill_image_path.empty())
        args.insert(args.end(), {"--fill", s.fill_image_path});
    for (const std::string& path : s.other_fill_image_paths) args.insert(args.end(), {"--fill", path});
    if (s.use_threshold == 0) {
        for (const auto& [option, path] : {std::pair{"--target-mask", s.target_mask_path}, {"--fill-mask", s.fill_mask_path}})
            if (!path.empty())
                args.insert(args.end(), {option, path});
        for (const std::string& path : s.other_fill_mask_paths) args.insert(args.end(), {"--fill-mask", path});
    }
    else if (!in.default_range)
        args.insert(args.end(), {"--valid-range", std::to_string(s.valid_min), std::to_string(s.valid_max)});
    const RunOptions defaults;
    if (in.options.threads != defaults.threads)
        args.insert(args.end(), {"--threads", std::to_string(in.options.threads)});
    if (!(in.options.solver_tolerance == defaults.solver_tolerance))
        args.insert(args.end(), {"--tolerance", std::to_string(in.options.solver_tolerance)});
    for (const std::string& option : in.options.creation_options)
        args.insert(args.end(), {"--co", option});
    if (!s.status_output_path.empty())
        args.insert(args.end(), {"--status-output", s.status_output_path});
    if (s.refine != 0)
        args.push_back("--refine");
    return args;
}

TEST_P(BadInputs, ThroughTheCommandLine)
{
    check(
        [this](Inputs& in, std::string& messages, std::string& warnings) {
            const test::ProgramRun run = test::run_program(PELVANE_CLI, arguments(in), streams.path("out"),
                                                           streams.path("err"));
            messages = run.out + run.err;
            warnings = run.err;
            return run.status;
        },
        false, true);
}

// A test name from a case's name: "one-pixel-wide image" -> onePixelWideImage.
std::string case_name(const ::testing::TestParamInfo<BadInput>& info)
{
    std::string name;
    bool word = false;  // the next letter starts a word
    for (const char* c = info.param.name; *c != 0; ++c) {
        const auto ch = static_cast<unsigned char>(*c);
        if (*c == '-' && std::isdigit(static_cast<unsigned char>(c[1])))
            name += "Minus";
        else if (std::isalnum(ch))
            name += word ? static_cast<char>(std::toupper(ch)) : *c;
        word = !std::isalnum(ch);
    }
    return name;
}

std::vector<BadInput> job_cases()
{
    std::vector<BadInput> cases;
    for (const BadInput& c : CASES)
        if (c.status != 2)
            cases.push_back(c);
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Table, BadInputs, ::testing::ValuesIn(CASES), case_name);
INSTANTIATE_TEST_SUITE_P(Table, BadInputsOfTheJob, ::testing::ValuesIn(job_cases()), case_name);

// How docs/robustness.md shows a case: its first three cells (a note may follow).
std::string doc_row(const BadInput& c)
{
    std::string message = c.message == DONE ? "\"Job Done:Total Time:… ms\"" : "\"" + std::string(c.message) + "\"";
    if (c.mostly_gaps)
        message += ", after the warning \"Warning: … are gaps …\"";
    return "| " + std::string(c.name) + " | " + message + " | " + std::to_string(c.status) + " |";
}

TEST(BadInputsDocument, ShowsEveryCaseWithItsMessageAndStatus)
{
    std::ifstream doc(PELVANE_DOCS "/robustness.md");
    std::vector<std::string> rows;  // the table's rows: the ones with a quoted message
    for (std::string line; std::getline(doc, line);)
        if (line.rfind("| ", 0) == 0 && line.find(" | \"") != std::string::npos)
            rows.push_back(line);
    std::string expected;
    for (const BadInput& c : CASES) expected += doc_row(c) + "\n";
    ASSERT_EQ(rows.size(), std::size(CASES)) << "the table should start its rows with:\n" << expected;
    for (std::size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ(rows[i].rfind(doc_row(CASES[i]), 0), 0u) << rows[i] << "\nshould start with\n" << doc_row(CASES[i]);
}

}  // namespace
}  // namespace pelvane
