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
        {{"--raw", "48000:2", good}, "--raw needs RATE:CHANNELS:FORMAT"},
        {{"--raw", "48000:2:s16:le", good}, "--raw needs RATE:CHANNELS:FORMAT"},
        {{"--raw=", good}, "--raw needs RATE:CHANNELS:FORMAT"},
        {{"--raw", "48k:2:s16", good}, "the rate must be a whole number of Hz from 1000"},
        {{"--raw", "999:2:s16", good}, "from 1000 to 1000000, not '999'"},
        {{"--raw", "1000001:2:s16", good}, "from 1000 to 1000000"},
        {{"--raw", "48000:3:s16", good}, "the channel count must be 1 or 2, not '3'"},
        {{"--raw", "48000::s16", good}, "the channel count must be 1 or 2, not ''"},
        {{"--raw", "48000:2:s17", good}, "unknown sample format 's17'"},
        {{"--raw", "48000:2:u8le", good}, "unknown sample format 'u8le'"},
        {{"--raw", "48000:2:", good}, "unknown sample format ''"},
        {{"--raw", "48000:2:s16", "--raw", "48000:2:s16", good}, "give --raw once"},
        {{good, "--raw"}, "--raw needs RATE:CHANNELS:FORMAT"},
    };
    for (const BadCall& c : cases) {
        std::string call;
        for (const std::string& a : c.Args) {
            call += " '" + a + "'";
        }
        const auto run = RunAnalyse(c.Args);
        EXPECT_EQ(run.ExitCode, kAnalyseUsageError) << call;
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
        EXPECT_EQ(run.ExitCode, kAnalyseOk) << args[0] << ": " << run.Err;
        EXPECT_EQ(run.Err, "") << args[0];
    }
    const auto help = RunAnalyse({"--help"});
    EXPECT_EQ(help.ExitCode, kAnalyseOk);
    EXPECT_EQ(help.Out, AnalyseHelp());
    EXPECT_EQ(help.Out.rfind(std::string(AnalyseUsage()) + "\n", 0), 0u);
}

TEST(AnalyseRawFormats, NamesAsRecordersGiveThem) {
    struct Case {
        std::string_view Text;
        RawFormat Format;
    };
    const Case cases[] = {
        {"48000:2:s16", {48000, 2, RawEncoding::S16, false}},    // pw-record's names
        {"48000:2:s16le", {48000, 2, RawEncoding::S16, false}},  // parec's
        {"44100:1:S24BE", {44100, 1, RawEncoding::S24, true}},
        {"96000:2:float32le", {96000, 2, RawEncoding::F32, false}},
        {"1000:1:f64be", {1000, 1, RawEncoding::F64, true}},
        {"1000000:2:s32", {1000000, 2, RawEncoding::S32, false}},
        {"8000:1:u8", {8000, 1, RawEncoding::U8, false}},
        {"8000:1:s8", {8000, 1, RawEncoding::S8, false}},
        {"8000:1:aLaw", {8000, 1, RawEncoding::ALaw, false}},
        {"8000:1:ulaw", {8000, 1, RawEncoding::MuLaw, false}},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(ParseRawFormat(c.Text, error), c.Format) << c.Text << ": " << error;
    }
}

}  // namespace
}  // namespace stemora
