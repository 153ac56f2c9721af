#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "job/worker_pool.h"

namespace pelvane {
namespace {

struct Parsed {
    int status;
    CommandLine command;
    std::string out;
    std::string err;
};

Parsed parse(const std::vector<const char*>& args)
{
    std::vector<const char*> argv{"pelvane-cli"};
    argv.insert(argv.end(), args.begin(), args.end());
    Parsed p;
    std::ostringstream out, err;
    p.status = parse_command_line(static_cast<int>(argv.size()), argv.data(), p.command, out, err);
    p.out = out.str();
    p.err = err.str();
    return p;
}

TEST(CommandLine, DefaultsAreTheFormsWithTheValidRange)
{
    const Parsed p = parse({"--target", "t.tif", "--fill", "f.tif", "--output", "o.tif"});
    ASSERT_EQ(p.status, -1) << p.err;
    const JobSettings& s = p.command.settings;
    EXPECT_EQ(s.target_image_path, "t.tif");
    EXPECT_EQ(s.fill_image_path, "f.tif");
    EXPECT_EQ(s.output_image_path, "o.tif");
    EXPECT_EQ(s.use_threshold, 1);
    EXPECT_EQ(s.valid_min, 1.0);
    EXPECT_EQ(s.valid_max, 255.0);
    EXPECT_EQ(s.use_sarnic, 1);
    EXPECT_EQ(s.use_tolvek, 1);
    EXPECT_EQ(s.similar_pixel_count, 30);
    EXPECT_EQ(s.regularization, 1000.0);
    EXPECT_EQ(s.max_iterations, 600);
    EXPECT_EQ(s.refine, 0);
    EXPECT_EQ(s.status_output_path, "");
    EXPECT_FALSE(p.command.quiet);
    EXPECT_FALSE(p.command.options.solver_progress);
    EXPECT_EQ(p.command.options.solver_tolerance, 0.001);
    EXPECT_EQ(p.command.options.threads, hardware_threads());
    EXPECT_TRUE(p.command.options.creation_options.empty());
}

TEST(CommandLine, EveryOptionReachesItsField)
{
    const Parsed p = parse({"--target", "t.tif", "--output", "o.tif", "--valid-range", "-10",
                            "4000.5", "--method", "tolvek", "--similar", "12",
                            "--regularization", "250.5", "--max-iterations", "40", "--tolerance",
                            "1e-4", "--co", "COMPRESS=DEFLATE", "--co", "PREDICTOR=2",
                            "--threads", "3", "-q", "-v", "--refine", "--status-output",
                            "s.tif", "--error-output", "e.tif"});
    ASSERT_EQ(p.status, -1) << p.err;
    const JobSettings& s = p.command.settings;
    EXPECT_EQ(s.valid_min, -10.0);
    EXPECT_EQ(s.valid_max, 4000.5);
    EXPECT_EQ(s.use_sarnic, 0);
    EXPECT_EQ(s.use_tolvek, 1);
    EXPECT_EQ(s.similar_pixel_count, 12);
    EXPECT_EQ(s.regularization, 250.5);
    EXPECT_EQ(s.max_iterations, 40);
    EXPECT_EQ(s.refine, 1);
    EXPECT_EQ(s.status_output_path, "s.tif");
    EXPECT_EQ(s.error_output_path, "e.tif");
    EXPECT_EQ(p.command.options.solver_tolerance, 1e-4);
    EXPECT_EQ(p.command.options.creation_options,
              (std::vector<std::string>{"COMPRESS=DEFLATE", "PREDICTOR=2"}));
    EXPECT_EQ(p.command.options.threads, 3);
    EXPECT_TRUE(p.command.quiet);
    EXPECT_TRUE(p.command.options.solver_progress);

    const Parsed sarnic = parse({"--target", "t", "--output", "o", "--method", "sarnic"});
    EXPECT_EQ(sarnic.command.settings.use_sarnic, 1);
    EXPECT_EQ(sarnic.command.settings.use_tolvek, 0);
}

TEST(CommandLine, AMaskFileChoosesMaskFileMode)
{
    const Parsed both = parse({"--target", "t", "--fill", "f", "--output", "o", "--target-mask",
                               "tm.tif", "--fill-mask", "fm.tif"});
    ASSERT_EQ(both.status, -1) << both.err;
    EXPECT_EQ(both.command.settings.use_threshold, 0);
    EXPECT_EQ(both.command.settings.target_mask_path, "tm.tif");
    EXPECT_EQ(both.command.settings.fill_mask_path, "fm.tif");

    const Parsed one = parse({"--target", "t", "--output", "o", "--target-mask", "tm.tif",
                              "--method", "tolvek"});
    ASSERT_EQ(one.status, -1) << one.err;
    EXPECT_EQ(one.command.settings.use_threshold, 0);
    EXPECT_EQ(one.command.settings.fill_mask_path, "");
}

TEST(CommandLine, NodataTakesTheGapsFromGdalsMasks)
{
    const Parsed p = parse({"--target", "t", "--fill", "f", "--output", "o", "--nodata"});
    ASSERT_EQ(p.status, -1) << p.err;
    EXPECT_EQ(p.command.settings.use_nodata, 1);
    EXPECT_EQ(parse({"--target", "t", "--output", "o"}).command.settings.use_nodata, 0);
}

TEST(CommandLine, UsageErrors)
{
    const std::vector<std::vector<const char*>> wrong = {
        {"--output", "o"},
        {"--target", "t"},
        {"--target", "t", "--output", "o", "--no-such-option"},
        {"--target", "t", "--output", "o", "--valid-range", "1", "255", "--target-mask", "m"},
        {"--target", "t", "--output", "o", "--fill-mask", "m", "--valid-range", "1", "255"},
        {"--target", "t", "--output", "o", "--nodata", "--valid-range", "1", "255"},
        {"--target", "t", "--output", "o", "--target-mask", "m", "--nodata"},
        {"--target", "t", "--output", "o", "--nodata", "--fill-mask", "m"},
        {"--target", "t", "--output", "o", "--valid-range", "1"},
        {"--target", "t", "--output", "o", "--valid-range", "low", "255"},
        {"--target", "t", "--output", "o", "--method", "sarnik"},
        {"--target", "t", "--output", "o", "--similar", "thirty"},
        {"--target", "t", "--output", "o", "--regularization", "1e3x"},
        {"--target", "t", "--output", "o", "--max-iterations", "6.5"},
        {"--target", "t", "--output", "o", "--threads", "0"},
        {"--target", "t", "--output", "o", "--threads", "-2"},
        {"--target", "t", "--output", "o", "--threads", "1.5"},
        {"--target", "t", "--output", "o", "--tolerance", "-1"},
        {"--target", "t", "--output", "o", "--co", "COMPRESS"},
        {"--target", "t", "--output", "o", "--co", "=DEFLATE"},
        {"--target", "t", "--output", "o", "extra"},
    };
    for (const auto& args : wrong) {
        const Parsed p = parse(args);
        std::string line;
        for (const char* a : args)
            line += std::string(a) + " ";
        EXPECT_EQ(p.status, EXIT_USAGE) << line;
        EXPECT_NE(p.err, "") << line;
        EXPECT_EQ(p.out, "") << line;
    }
}

TEST(CommandLine, HelpAndVersionEndAtOnceOnStandardOutput)
{
    const Parsed help = parse({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--valid-range"), std::string::npos);
    EXPECT_EQ(help.err, "");

    const Parsed version = parse({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("pelvane-cli ") + PELVANE_VERSION + "\n");
}

}  // namespace
}  // namespace pelvane
