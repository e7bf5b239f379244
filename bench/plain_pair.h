// The library/raw pair of the M2M benchmarks on the platform's plain coding
// engines (--plain-codec): framing only, no picture coding, so that the
// loop's CPU time is the library's, the requests' and the platform's own
// bookkeeping, not the coding's. A second raw loop beside the two gives the
// noise floor of the machine at the time. Each round runs the three in a
// rotated order; a ratio is the median of the rounds' own ratios, each of
// times taken moments apart, so that the machine's slower and faster spells
// fall on both sides of it.
#ifndef KEP_BENCH_PLAIN_PAIR_H
#define KEP_BENCH_PLAIN_PAIR_H

#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <vector>

namespace plain_pair {

constexpr int LIBRARY = 0, RAW = 1, CONTROL = 2;

struct Times {
    std::vector<double> cpu[3]; // seconds per round, by contender
    double requests[3] = {0, 0, 0}; // per frame
};

inline double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// run(contender) runs one round of that contender and returns its CPU time
// and requests per frame.
template <typename Run> Times measure(unsigned rounds, Run run)
{
    Times t;
    for (unsigned i = 0; i < rounds; ++i)
        for (int k = 0; k < 3; ++k) {
            int who = (int)((i + (unsigned)k) % 3);
            double requests = 0;
            t.cpu[who].push_back(run(who, &requests));
            t.requests[who] = requests;
        }
    return t;
}

inline double median_ratio(const std::vector<double> &a, const std::vector<double> &b)
{
    std::vector<double> r;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        r.push_back(a[i] / b[i]);
    return median(r);
}

inline void print(FILE *to, const char *what, unsigned frames, unsigned rounds, const Times &t)
{
    double lib = median(t.cpu[LIBRARY]), raw = median(t.cpu[RAW]);
    fprintf(to, "%s on the plain coding engines (framing only), %u frames a round, %u rounds, medians:\n", what,
            frames, rounds);
    fprintf(to, "  libkep_vc loop    %8.4f ms CPU/frame  %5.2f requests/frame\n", lib * 1e3 / frames,
            t.requests[LIBRARY]);
    fprintf(to, "  raw request loop  %8.4f ms CPU/frame  %5.2f requests/frame\n", raw * 1e3 / frames, t.requests[RAW]);
    double ratio = median_ratio(t.cpu[LIBRARY], t.cpu[RAW]), floor = median_ratio(t.cpu[CONTROL], t.cpu[RAW]);
    fprintf(to, "  library / raw CPU time: %.3f (target <= 1.020)\n", ratio);
    fprintf(to, "  control raw / raw: %.3f, noise floor %.3f: %s the library's difference of %.3f\n", floor,
            fabs(floor - 1), fabs(floor - 1) < fabs(ratio - 1) ? "narrower than" : "NOT narrower than",
            fabs(ratio - 1));
}

} // namespace plain_pair

#endif
