// The full fault sweep (scripts/fault_sweep.sh runs it): every pipeline,
// every request it makes, k over the first occurrences, those around the
// restart and the last ones, every fault kind; prints the table.
//   fault_sweep [--every N] [--pipeline TEXT] [--frames N] [--timeout MS]
#include "sweep.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

int main(int argc, char **argv)
{
    unsigned every = 1, frames = 24;
    int timeout_ms = 30000;
    const char *only = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--every") && i + 1 < argc)
            every = unsigned(atoi(argv[++i]));
        else if (!strcmp(argv[i], "--pipeline") && i + 1 < argc)
            only = argv[++i];
        else if (!strcmp(argv[i], "--frames") && i + 1 < argc)
            frames = unsigned(atoi(argv[++i]));
        else if (!strcmp(argv[i], "--timeout") && i + 1 < argc)
            timeout_ms = atoi(argv[++i]);
        else {
            fprintf(stderr, "usage: %s [--every N] [--pipeline TEXT] [--frames N] [--timeout MS]\n", argv[0]);
            return 2;
        }
    }
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    std::vector<sweep::Run> runs;
    int status = 0;
    for (const sweep::Pipeline &p : sweep::pipelines()) {
        if (only && p.name.find(only) == std::string::npos)
            continue;
        std::string error;
        std::vector<sweep::Site> sites = sweep::sites_of(p, frames, &error);
        if (sites.empty()) {
            fprintf(stderr, "%s\n", error.c_str());
            status = 1;
            continue;
        }
        std::vector<sweep::Fault> faults = sweep::plan(p, sites, every);
        fprintf(stderr, "%s: %zu requests, %zu runs\n", p.name.c_str(), sites.size(), faults.size());
        for (const sweep::Fault &f : faults) {
            runs.push_back(sweep::run_one(p, f, frames, timeout_ms));
            if (sweep::is_failure(runs.back().outcome.cls)) {
                status = 1;
                fprintf(stderr, "  %s: %s: %s\n", f.label().c_str(), sweep::class_name(runs.back().outcome.cls),
                        runs.back().outcome.why.c_str());
            }
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    fputs(sweep::table(runs).c_str(), stdout);
    printf("time: %.0f s\n", double(t1.tv_sec - t0.tv_sec) + double(t1.tv_nsec - t0.tv_nsec) / 1e9);
    return status;
}
