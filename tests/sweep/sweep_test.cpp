// A sample of the fault sweep: every pipeline, one run in kEvery of its full
// plan (spread over requests, occurrences and fault kinds); each run must end
// as the library specifies, as a reported failure with a working teardown,
// or recovered.
#include "sweep.h"

#include <gtest/gtest.h>
#include <stdio.h>

namespace {

#if defined(KEP_TEST_UNDER_EMULATOR)
constexpr unsigned kEvery = 31, kFrames = 16;
constexpr int kTimeoutMs = 120000;
#else
constexpr unsigned kEvery = 13, kFrames = 24;
constexpr int kTimeoutMs = 60000;
#endif

TEST(FaultSweep, EveryRunEndsAsSpecifiedFailsCleanlyOrRecovers)
{
    std::vector<sweep::Run> runs;
    for (const sweep::Pipeline &p : sweep::pipelines()) {
        std::string error;
        std::vector<sweep::Site> sites = sweep::sites_of(p, kFrames, &error);
        ASSERT_FALSE(sites.empty()) << error;
        for (const sweep::Fault &f : sweep::plan(p, sites, kEvery)) {
            runs.push_back(sweep::run_one(p, f, kFrames, kTimeoutMs));
            EXPECT_FALSE(sweep::is_failure(runs.back().outcome.cls))
                << p.name << " " << f.label() << ": " << sweep::class_name(runs.back().outcome.cls) << ": "
                << runs.back().outcome.why;
        }
    }
    printf("%s", sweep::table(runs).c_str());
}

} // namespace
