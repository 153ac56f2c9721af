#pragma once
// The fixture of the whole-job tests: a temporary folder, small rasters
// written into it and a job that must stop without changing a file.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <cpl_error.h>

#include "job/run_job.h"
#include "support/test_rasters.h"

// Not in an anonymous namespace: the tests of one suite share one fixture class.
namespace pelvane {

using test::RasterShape;
using test::RecordingHost;
namespace fs = std::filesystem;

// Distinct, non-zero values inside 1..255 so nothing is a gap under the
// default range and a misplaced or missing row cannot go unnoticed.
inline double scene(int b, int x, int y)
{
    return 1 + (b * 61 + x * 7 + y * 13) % 250;
}

inline double other_scene(int b, int x, int y)
{
    return 1 + (b * 17 + x * 3 + y * 29) % 250;
}

class RunJob : public ::testing::Test {
protected:
    void SetUp() override { CPLPushErrorHandler(CPLQuietErrorHandler); }
    void TearDown() override
    {
        CPLPopErrorHandler();
        EXPECT_EQ(test::open_dataset_count(), 0) << "the job left a dataset open";
    }

    std::string image(const std::string& name, const RasterShape& shape,
                      const test::SampleFn& sample = scene)
    {
        const std::string path = dir.path(name);
        test::write_tiff(path, shape, sample);
        return path;
    }

    // A valid-range job over a target and fill made from `shape`.
    JobSettings range_job(const RasterShape& shape)
    {
        JobSettings s;
        s.target_image_path = image("target.tif", shape);
        s.fill_image_path = image("fill.tif", shape, other_scene);
        s.output_image_path = dir.path("out.tif");
        s.use_threshold = 1;
        return s;
    }

    // The bytes of every file in the folder, to show that a job changed none.
    std::map<std::string, std::vector<std::uint8_t>> snapshot() const
    {
        return test::snapshot_folder(dir.path(""));
    }

    // Runs a job that must stop with `message`, and checks that it changed no
    // file and left none behind: no output, no temporary file.
    void expect_stop(JobSettings& settings, const std::string& message,
                     const RunOptions& options = {})
    {
        const auto before = snapshot();
        RecordingHost host;
        EXPECT_FALSE(run_job(settings, host, options).done());
        EXPECT_EQ(host.messages, std::vector<std::string>{message});
        EXPECT_EQ(snapshot(), before);
    }

    test::TempDir dir;
};

inline bool is_job_done(const std::string& message)
{
    return std::regex_match(message, std::regex("Job Done:Total Time:[0-9]+ ms"));
}

}  // namespace pelvane
