// GoogleTest main for every test binary: each test starts with an empty verifier log, and a
// test that ends with reports it did not examine makes the run fail, naming the test, so that
// no verifier finding goes unnoticed. (CTest runs each case in its own process.)
#include "ntemu/verifier.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <string>

namespace {

bool g_leftoverReports = false;

class VerifierListener : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { ntemu::verifier::take(); }

    void OnTestEnd(const testing::TestInfo& info) override {
        auto reports = ntemu::verifier::take();
        if (reports.empty())
            return;
        std::string text;
        for (const auto& report : reports)
            text += "\n  " + report.text();
        std::fprintf(stderr, "[ VERIFIER ] %s.%s left %zu unexamined report(s):%s\n",
                     info.test_suite_name(), info.name(), reports.size(), text.c_str());
        g_leftoverReports = true;
    }
};

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "C");
    testing::InitGoogleTest(&argc, argv);
    ntemu::verifier::setQuiet(true);
    testing::UnitTest::GetInstance()->listeners().Append(new VerifierListener);
    int result = RUN_ALL_TESTS();
    return g_leftoverReports ? 1 : result;
}
