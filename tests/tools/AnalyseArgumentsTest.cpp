// stemora-analyse's command line: every malformed one gives one line and status 2 before any
// file is touched; the accepted forms run.

#include <gtest/gtest.h>

#include "AnalyseFile.h"
#include "AnalyseTestSupport.h"

namespace stemora {
namespace {

using test::RunAnalyse;

class AnalyseArguments : public ::testing::Test {
  protected:
    test::TempFolder folder_;
};

struct BadCall {
    std::vector<std::string> Args;
    std::string Message;  // expected part of the one error line
};

TEST_F(AnalyseArguments, BadCallsGiveOneLineAndStatusTwo) {
    const std::string good = folder_.File("good.wav");
    test::WriteIntFile(good, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, std::vector<int32_t>(800));
    const std::vector<BadCall> cases = {
        {{"--note", "H4", good}, "unknown note name 'H4'"},
        {{"--note", "Bb4", good}, "unknown note name"},
        {{"--note", "E#4", good}, "unknown note name"},
        {{"--note", "A", good}, "unknown note name"},
        {{"--note", "G0", good}, "outside G#0 to C#8"},
        {{"--note", "D8", good}, "outside G#0 to C#8"},
        {{"--shift", "-38", good}, "from -37 to 52"},
        {{"--shift", "53", good}, "from -37 to 52"},
        {{"--shift", "12.5", good}, "from -37 to 52"},
        {{"--shift", "99999999999", good}, "from -37 to 52"},
        {{"--shift", "", good}, "from -37 to 52"},
        {{"--note", "A4", "--shift", "12", good}, "either --note or --shift"},
        {{"--note", "A4", "--note", "A4", good}, "either --note or --shift"},
        {{good, "--note"}, "--note needs a note name"},
        {{good, "--shift"}, "--shift needs"},
        {{"--verbose", good}, "unknown option '--verbose'"},
        {{"-t", good}, "unknown option '-t'"},
        {{"--tsv=1", good}, "unknown option '--tsv=1'"},
        {{}, "no file given"},
        {{"--tsv"}, "no file given"},
        {{good, good}, "more than one file"},
    };
    for (const BadCall& c : cases) {
        std::string call;
        for (const std::string& a : c.Args) {
            call += " '" + a + "'";
        }
        const auto run = RunAnalyse(c.Args);
        EXPECT_EQ(run.ExitCode, AnalyseUsageError) << call;
        EXPECT_EQ(run.Out, "") << call;
        EXPECT_EQ(run.Err.rfind("stemora-analyse: ", 0), 0u) << call << ": " << run.Err;
        EXPECT_NE(run.Err.find(c.Message), std::string::npos) << call << ": " << run.Err;
        EXPECT_EQ(std::count(run.Err.begin(), run.Err.end(), '\n'), 1) << call << ": " << run.Err;
        EXPECT_EQ(run.Err.back(), '\n') << call;
    }
}

TEST_F(AnalyseArguments, FormsThatWork) {
    const std::string good = folder_.File("-dash.wav");
    test::WriteIntFile(good, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, std::vector<int32_t>(800));
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--", good},
             {"--note=c#8", "--", good},
             {"--shift", "-37", "--", good},
             {"--shift=+52", "--tsv", "--", good},
         }) {
        const auto run = RunAnalyse(args);
        EXPECT_EQ(run.ExitCode, AnalyseOk) << args[0] << ": " << run.Err;
        EXPECT_EQ(run.Err, "") << args[0];
    }
    const auto help = RunAnalyse({"--help"});
    EXPECT_EQ(help.ExitCode, AnalyseOk);
    EXPECT_EQ(help.Out, AnalyseHelp());
    EXPECT_EQ(help.Out.rfind(std::string(AnalyseUsage()) + "\n", 0), 0u);
}

}  // namespace
}  // namespace stemora
