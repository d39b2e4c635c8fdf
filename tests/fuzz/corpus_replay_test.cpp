// Every input of the committed fuzz corpus goes through the fuzz target's
// check again, one test per file, so a crash the fuzzer once found stays
// fixed once its input is copied into tests/fuzz/corpus.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/fuzz/request_check.h"

namespace fs = std::filesystem;

namespace {

// The names of the corpus files, in order.
std::vector<std::string> corpusFiles() {
    std::vector<std::string> files;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(QV_FUZZ_CORPUS, error))
        if (entry.is_regular_file()) files.push_back(entry.path().filename().string());
    std::sort(files.begin(), files.end());
    return files;
}

std::string readCorpusFile(const std::string& name) {
    std::ifstream in(fs::path(QV_FUZZ_CORPUS) / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Test names allow letters, digits and "_" only; a name that two files
// share after that is told apart by its index.
std::string testName(const testing::TestParamInfo<std::string>& info) {
    auto clean = [](std::string name) {
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    };
    std::string name = clean(info.param);
    std::vector<std::string> all = corpusFiles();
    auto same = [&](const std::string& other) { return clean(other) == name; };
    if (std::count_if(all.begin(), all.end(), same) > 1) name += "_" + std::to_string(info.index);
    return name;
}

class CorpusReplay : public testing::TestWithParam<std::string> {};

TEST_P(CorpusReplay, MapsInsideItsFolder) {
    qv::fuzz::RequestCheck check = qv::fuzz::checkRequest(readCorpusFile(GetParam()));
    EXPECT_EQ(check.verdict, qv::fuzz::kPathContained)
        << GetParam() << ": " << qv::fuzz::verdictText(check.verdict) << ": '" << check.localPath << "'";
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusReplay, testing::ValuesIn(corpusFiles()), testName);

// A wrong corpus path would otherwise replay nothing and pass.
TEST(FuzzCorpus, IsFoundAndHoldsTheSeeds) {
    EXPECT_GE(corpusFiles().size(), 12u) << QV_FUZZ_CORPUS;
}

}  // namespace
