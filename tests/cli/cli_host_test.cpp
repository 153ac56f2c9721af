#include <gtest/gtest.h>

#include <sstream>

#include "cli/cli_host.h"
#include "cli/terminal_progress.h"
#include "job/progress.h"

namespace pelvane {
namespace {

TEST(TerminalProgress, PrintsTheTicksOnceAndInOrder)
{
    std::ostringstream line;
    TerminalProgress progress(line);
    progress.update(0.0);
    EXPECT_EQ(line.str(), "0");
    progress.update(0.024);  // not yet a tick
    progress.update(0.26);
    EXPECT_EQ(line.str(), "0...10...20..");
    progress.update(0.1);  // never backwards
    progress.update(0.26);
    EXPECT_EQ(line.str(), "0...10...20..");
    progress.finish();
    progress.finish();
    progress.update(0.5);
    EXPECT_EQ(line.str(), "0...10...20...30...40...50...60...70...80...90...100 - done.\n");
}

TEST(TerminalProgress, BreakLineOnlyEndsAnOpenLine)
{
    std::ostringstream line;
    TerminalProgress progress(line);
    progress.break_line();
    EXPECT_EQ(line.str(), "");
    progress.update(0.1);
    progress.break_line();
    progress.break_line();
    progress.update(0.2);
    EXPECT_EQ(line.str(), "0...10\n...20");
}

TEST(CliHost, JobDoneOnStandardOutputEverythingElseOnStandardError)
{
    std::ostringstream out, err;
    CliHost host(out, err, true);
    host.progress_step = 50.0;
    host.progress_base = 0;
    host.work.regression_share = 0.5;  // the line follows the work done, not the bar
    report_progress(0.0, "", &host);
    report_progress(0.5, "", &host);
    host.show_message("alr Error!");
    host.progress_base = 50;
    report_progress(0.5, "", &host);
    host.show_done("Job Done:Total Time:12 ms");
    EXPECT_EQ(host.set_progress_position(0), 75);
    EXPECT_EQ(out.str(), "Job Done:Total Time:12 ms\n");
    EXPECT_EQ(err.str(), "0...10...20..\nalr Error!\n.30...40...50...60...70...80...90...100 - done.\n");
}

TEST(CliHost, QuietShowsNoProgress)
{
    std::ostringstream out, err;
    CliHost host(out, err, false);
    host.progress_step = 100.0;
    report_progress(0.7, "", &host);
    host.show_message_with_detail("Can not open the fill mask file!", "/data/m.tif\nERROR 4: gone");
    host.show_done("Job Done:Total Time:12 ms");  // success says nothing: the exit status tells
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(), "Can not open the fill mask file!\n  /data/m.tif\n  ERROR 4: gone\n");
}

TEST(CliHost, SolverLinesStartOnAFreshLineAndTheTicksAfterThem)
{
    std::ostringstream out, err;
    CliHost host(out, err, true);
    host.set_work_done(0.1);
    host.show_solver_text("   Iteration    1     Delta  0.5000\r");
    host.show_solver_text("   Iteration    2     Delta  0.2500\r");
    host.set_work_done(0.2);
    EXPECT_EQ(err.str(), "0...10\n   Iteration    1     Delta  0.5000\r"
                         "   Iteration    2     Delta  0.2500\r\n...20");
}

}  // namespace
}  // namespace pelvane
