#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include "support/test_rasters.h"

namespace pelvane {
namespace {

const std::string OLINDA = std::string(PELVANE_TEST_DATA) + "/olinda/";

using CliResult = test::ProgramRun;
using test::file_text;

class CliRun : public ::testing::Test {
protected:
    // Runs pelvane-cli with the arguments, each quoted for the shell.
    CliResult cli(const std::vector<std::string>& args)
    {
        return test::run_program(PELVANE_CLI, args, dir.path("stdout"), dir.path("stderr"));
    }

    // Size, band count, sample type and georeferencing of the output are the target's.
    void expect_like_target(const std::string& output)
    {
        GDALAllRegister();
        GDALDatasetUniquePtr target(GDALDataset::Open((OLINDA + "target.tif").c_str()));
        GDALDatasetUniquePtr out(GDALDataset::Open(output.c_str()));
        ASSERT_TRUE(out);
        EXPECT_STREQ(out->GetDriver()->GetDescription(), "GTiff");
        EXPECT_EQ(out->GetRasterXSize(), target->GetRasterXSize());
        EXPECT_EQ(out->GetRasterYSize(), target->GetRasterYSize());
        EXPECT_EQ(out->GetRasterCount(), target->GetRasterCount());
        EXPECT_EQ(out->GetRasterBand(1)->GetRasterDataType(),
                  target->GetRasterBand(1)->GetRasterDataType());
        double want[6], got[6];
        ASSERT_EQ(target->GetGeoTransform(want), CE_None);
        ASSERT_EQ(out->GetGeoTransform(got), CE_None);
        for (int i = 0; i < 6; ++i)
            EXPECT_EQ(got[i], want[i]);
        ASSERT_NE(out->GetSpatialRef(), nullptr);
        EXPECT_TRUE(out->GetSpatialRef()->IsSame(target->GetSpatialRef()));
    }

    test::TempDir dir;
};

bool is_job_done_line(const std::string& out)
{
    return std::regex_match(out, std::regex("Job Done:Total Time:[0-9]+ ms\n"));
}

TEST_F(CliRun, ValidRangeModeOnOlinda)
{
    const std::string output = dir.path("out.tif");
    const CliResult run = cli({"--target", OLINDA + "target.tif", "--fill", OLINDA + "fill.tif",
                         "--output", output, "--method", "sarnic", "--valid-range", "1", "255"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(is_job_done_line(run.out)) << run.out;
    // Messages of the fill stages may interrupt the progress line.
    const std::string progress = std::regex_replace(run.err, std::regex("\n(alr Error!\n)+"), "");
    EXPECT_NE(progress.find("0...10...20...30...40...50...60...70...80...90...100 - done.\n"),
              std::string::npos)
        << run.err;
    expect_like_target(output);

    // Pixels valid in every band of the target are copied as they are.
    std::vector<std::vector<double>> target, out;
    for (int b = 1; b <= 6; ++b) {
        target.push_back(test::read_band(OLINDA + "target.tif", b));
        out.push_back(test::read_band(output, b));
    }
    std::size_t valid = 0;
    for (std::size_t i = 0; i < target[0].size(); ++i) {
        bool ok = true;
        for (int b = 0; b < 6; ++b)
            ok = ok && target[b][i] >= 1.0 && target[b][i] <= 255.0;
        if (!ok)
            continue;
        ++valid;
        for (int b = 0; b < 6; ++b)
            ASSERT_EQ(out[b][i], target[b][i]) << "pixel " << i << " band " << b + 1;
    }
    EXPECT_GT(valid, target[0].size() / 2);
}

TEST_F(CliRun, MaskFileModeOnOlindaWithCompression)
{
    const std::string output = dir.path("out.tif");
    const CliResult run = cli({"--target", OLINDA + "target.tif", "--fill", OLINDA + "fill.tif",
                         "--target-mask", OLINDA + "target_mask.tif", "--fill-mask",
                         OLINDA + "fill_mask.tif", "--output", output, "--co", "COMPRESS=DEFLATE",
                         "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    // Quiet: nothing on success, no progress line, only messages the fill stages may show.
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(std::regex_replace(run.err, std::regex("(alr Error!\n)+"), ""), "");
    expect_like_target(output);
    GDALDatasetUniquePtr out(GDALDataset::Open(output.c_str()));
    EXPECT_STREQ(out->GetMetadataItem("COMPRESSION", "IMAGE_STRUCTURE"), "DEFLATE");
}

TEST_F(CliRun, TolvekAloneNeedsNoFillImage)
{
    const CliResult run = cli({"--target", OLINDA + "target.tif", "--output", dir.path("out.tif"),
                         "--method", "tolvek"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(is_job_done_line(run.out)) << run.out;
}

TEST_F(CliRun, CogIsACloudOptimizedCopyOfTheGeoTiffAndNothingIsLeftBesideIt)
{
    const auto run = [&](const std::string& output, std::vector<std::string> more) {
        std::vector<std::string> args = {"--target", OLINDA + "target.tif", "--fill", OLINDA + "fill.tif",
                                         "--method", "sarnic", "-q", "--output", dir.path(output)};
        args.insert(args.end(), more.begin(), more.end());
        return cli(args);
    };
    ASSERT_EQ(run("plain.tif", {}).status, 0);
    const CliResult cog = run("cog.tif", {"--of", "COG", "--co", "COMPRESS=DEFLATE"});
    ASSERT_EQ(cog.status, 0) << cog.err;
    GDALAllRegister();
    GDALDatasetUniquePtr out(GDALDataset::Open(dir.path("cog.tif").c_str()));
    ASSERT_TRUE(out);
    EXPECT_STREQ(out->GetMetadataItem("LAYOUT", "IMAGE_STRUCTURE"), "COG");
    EXPECT_STREQ(out->GetMetadataItem("COMPRESSION", "IMAGE_STRUCTURE"), "DEFLATE");
    for (int b = 1; b <= 6; ++b)
        EXPECT_EQ(test::read_band(dir.path("cog.tif"), b), test::read_band(dir.path("plain.tif"), b)) << b;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path("")))
        EXPECT_EQ(entry.path().string().find(".pelvane-tmp-"), std::string::npos) << entry.path();
}

TEST_F(CliRun, ThreadsChangeNeitherTheOutputNorTheSolverLines)
{
    std::vector<CliResult> runs;
    for (const char* threads : {"1", "3"}) {
        runs.push_back(cli({"--target", OLINDA + "target.tif", "--fill", OLINDA + "fill.tif",
                            "--output", dir.path(std::string("out") + threads + ".tif"),
                            "--threads", threads, "-q", "-v"}));
        ASSERT_EQ(runs.back().status, 0) << runs.back().err;
    }
    EXPECT_NE(runs[0].err.find("Converged in "), std::string::npos) << runs[0].err;
    EXPECT_EQ(runs[1].err, runs[0].err);
    EXPECT_TRUE(test::file_bytes(dir.path("out1.tif")) == test::file_bytes(dir.path("out3.tif")));
}

TEST_F(CliRun, StoppingMessagesExitWithOne)
{
    const CliResult no_fill = cli({"--target", OLINDA + "target.tif", "--fill", dir.path("absent.tif"),
                                   "--output", dir.path("out.tif"), "-q"});
    EXPECT_EQ(no_fill.status, 1);
    EXPECT_EQ(no_fill.out, "");
    EXPECT_NE(no_fill.err.find("Can't open fill image file!\n  " + dir.path("absent.tif") + "\n"),
              std::string::npos)
        << no_fill.err;

    const CliResult no_mask = cli({"--target", OLINDA + "target.tif", "--fill", OLINDA + "fill.tif",
                             "--target-mask", OLINDA + "target_mask.tif", "--fill-mask",
                             dir.path("absent.tif"), "--output", dir.path("out.tif"), "-q"});
    EXPECT_EQ(no_mask.status, 1);
    EXPECT_NE(no_mask.err.find("Can not open the fill mask file!\n"), std::string::npos)
        << no_mask.err;

    const std::string before = file_text(OLINDA + "fill.tif");
    const CliResult onto_input = cli({"--target", OLINDA + "target.tif", "--fill", OLINDA + "fill.tif",
                                "--output", OLINDA + "fill.tif"});
    EXPECT_EQ(onto_input.status, 1);
    EXPECT_EQ(onto_input.err, "Output image path must differ from the input paths!\n  " + OLINDA + "fill.tif\n");
    EXPECT_EQ(file_text(OLINDA + "fill.tif"), before);
}

// A Byte image with a large square gap, for Tolvek to work on for a while.
std::string write_square_gap_image(const std::string& path)
{
    test::write_tiff(path, test::raster_shape(200, 200), [](int, int x, int y) {
        return x > 50 && x < 150 && y > 50 && y < 150 ? 0.0 : 1 + (x * 7 + y * 13) % 250;
    });
    return path;
}

// Starts pelvane-cli, waits until its progress line on standard error (in
// err_path) reaches 10 %, early in the solve (the progress counts the work
// done, so a later mark could leave too little time), sends `signal_number`
// and returns the exit status.
int run_and_signal(const std::vector<std::string>& args, int signal_number,
                   const std::string& err_path)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // Whatever the test runner ignores, the program starts with the defaults.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, signal_number);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    std::vector<std::string> all{PELVANE_CLI};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, PELVANE_CLI, &actions, &attributes, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);

    for (int i = 0; i < 12000 && file_text(err_path).find("0...10") == std::string::npos; ++i)
        usleep(5000);
    kill(pid, signal_number);
    int raw = 0;
    waitpid(pid, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

TEST_F(CliRun, SignalsStopTheJobAndLeaveTheOutputAsItWas)
{
    const std::string work = dir.path("work");
    std::filesystem::create_directory(work);
    const std::string target = write_square_gap_image(work + "/target.tif");
    const std::string output = work + "/out.tif";
    for (const auto& [signal_number, status] : {std::pair{SIGTERM, 143}, {SIGINT, 130}}) {
        std::ofstream(output) << "an earlier result";
        const auto before = test::snapshot_folder(work);
        EXPECT_EQ(run_and_signal({"--target", target, "--output", output, "--method", "tolvek",
                                  "--tolerance", "0", "--max-iterations", "1500"},
                                 signal_number, dir.path("stderr")),
                  status);
        const std::string err = file_text(dir.path("stderr"));
        EXPECT_NE(err.find("The job was stopped!\n"), std::string::npos) << err;
        EXPECT_EQ(test::snapshot_folder(work), before) << "the output changed or a file was left";
    }
}

TEST_F(CliRun, AFileSizeLimitEndsTheJobWithTheWriteMessage)
{
    const std::string work = dir.path("work");
    std::filesystem::create_directory(work);
    const std::string target = write_square_gap_image(work + "/target.tif");
    const std::string output = work + "/out.tif";
    std::ofstream(output) << "an earlier result";
    const auto before = test::snapshot_folder(work);
    // The output takes 40 KB; the limit allows at most 10 (blocks of 512 or 1024 bytes).
    const CliResult run = test::run_program(
        "/bin/sh", {"-c", "ulimit -f 10; exec \"$0\" \"$@\"", PELVANE_CLI, "--target", target,
                    "--fill", target, "--output", output, "--method", "sarnic", "-q"},
        dir.path("stdout"), dir.path("stderr"));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Can not write the output image!\n"), std::string::npos) << run.err;
    EXPECT_EQ(test::snapshot_folder(work), before) << "the output changed or a file was left";
}

TEST_F(CliRun, UsageErrorsExitWithTwoAndRunNothing)
{
    const std::string output = dir.path("out.tif");
    const std::vector<std::vector<std::string>> wrong = {
        {"--fill", OLINDA + "fill.tif", "--output", output},
        {"--target", OLINDA + "target.tif", "--fill", OLINDA + "fill.tif"},
        {"--target", OLINDA + "target.tif", "--output", output, "--bogus"},
        {"--target", OLINDA + "target.tif", "--output", output, "--valid-range", "1", "255",
         "--target-mask", OLINDA + "target_mask.tif"},
        {"--target", OLINDA + "target.tif", "--output", output, "--method", "all"},
        {"--target", OLINDA + "target.tif", "--output", output, "--max-iterations", "many"},
        {"--target", OLINDA + "target.tif", "--output", output, "--threads", "0"},
        {"--target", OLINDA + "target.tif", "--output", output, "--error-output", output + "e"},
        // Inputs the method needs: no fill image, a target mask without the fill mask.
        {"--target", OLINDA + "target.tif", "--output", output},
        {"--target", OLINDA + "target.tif", "--fill", OLINDA + "fill.tif", "--target-mask",
         OLINDA + "target_mask.tif", "--output", output},
        {"--target", OLINDA + "target.tif", "--output", output, "--of", "PNG"},
    };
    for (const auto& args : wrong) {
        const CliResult run = cli(args);
        EXPECT_EQ(run.status, 2) << args.back();
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find("--help"), std::string::npos) << run.err;
    }
    EXPECT_FALSE(std::filesystem::exists(output));

    const CliResult version = cli({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("pelvane-cli ") + PELVANE_VERSION + "\n");
    const CliResult help = cli({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--co"), std::string::npos);
}

}  // namespace
}  // namespace pelvane
