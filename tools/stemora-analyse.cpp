// stemora-analyse [--note NAME | --shift N] [--tsv] [--raw R:C:F] FILE: the tuner's analysis on
// a sound file or a live stream.
#include <iostream>
#include <string_view>
#include <vector>

#include "AnalyseFile.h"

int main(int argc, char** argv) {
    try {
        std::ios::sync_with_stdio(false);
        stemora::EndRunsOnStopSignals();
        const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
        return stemora::AnalyseMain(args, std::cout, std::cerr);
    } catch (...) {
        return stemora::kAnalyseFileError;
    }
}
