// A speech-like test signal: a voiced source whose pitch glides between
// about 100 and 180 Hz, shaped by three formants that move from syllable to
// syllable, in syllables of 250 ms with a pause after every third one.
#ifndef AUD32_SIGNAL_H
#define AUD32_SIGNAL_H

#include <math.h>
#include <stdint.h>
#include <vector>

namespace aud32_test {

inline std::vector<int16_t> speech_like(int rate, int samples, double peak = 12000.0) {
    static const double kVowels[4][3] = {
        {730, 1090, 2440}, {270, 2290, 3010}, {570, 840, 2410}, {440, 1020, 2240}};
    std::vector<int16_t> out((size_t)samples);
    const double top = rate * 0.45 < 7000.0 ? rate * 0.45 : 7000.0;
    double phase = 0.0;
    for (int n = 0; n < samples; ++n) {
        double t = (double)n / rate;
        int syllable = (int)(t / 0.25);
        double within = t / 0.25 - syllable;
        double env = (syllable % 4 == 3) ? 0.0 : 0.5 - 0.5 * cos(2 * M_PI * within);
        const double *f = kVowels[syllable % 4];
        double f0 = 140.0 + 40.0 * sin(2 * M_PI * 1.3 * t);
        phase += 2 * M_PI * f0 / rate;
        double v = 0.0;
        for (int k = 1; k * f0 < top; ++k) {
            double h = k * f0, w = 0.0;
            for (int i = 0; i < 3; ++i) {
                double bw = 60.0 + 40.0 * i, d = (h - f[i]) / bw;
                w += (1.0 / (i + 1)) / (1.0 + d * d);
            }
            v += (w + 0.02) * sin(k * phase) / sqrt((double)k);
        }
        out[(size_t)n] = (int16_t)lrint(peak * env * v / 3.0);
    }
    return out;
}

// Signal-to-noise ratio of a decoded signal against its source, in dB.
inline double snr_db(const std::vector<int16_t> &ref, const std::vector<int16_t> &dec) {
    double s = 0.0, e = 0.0;
    for (size_t i = 0; i < ref.size() && i < dec.size(); ++i) {
        double d = (double)ref[i] - dec[i];
        s += (double)ref[i] * ref[i];
        e += d * d;
    }
    return 10.0 * log10(s / (e > 0.0 ? e : 1e-9));
}

// Normalised cross-correlation at lag 0.
inline double correlation(const std::vector<int16_t> &a, const std::vector<int16_t> &b) {
    double ab = 0.0, aa = 0.0, bb = 0.0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        ab += (double)a[i] * b[i];
        aa += (double)a[i] * a[i];
        bb += (double)b[i] * b[i];
    }
    return ab / sqrt(aa * bb + 1e-9);
}

} // namespace aud32_test

#endif
