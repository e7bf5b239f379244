// Splitting throughput of the bit-stream reader in file mode against
// FFmpeg's own parsers (av_parser_parse2 with the h264 and mjpeg parsers) on
// the same bytes in the same run: a 1080p H.264 stream and a 1080p MJPEG
// stream of tens of megabytes, generated once into the build tree.
//
// Both sides read the file in 8192-byte chunks into a cache-line aligned
// buffer and leave every frame in a destination buffer (the reader copies it
// there itself; the FFmpeg side copies each frame the parser hands out), so
// both do the same job.
//
// The I/O limit is measured beside them: the same 8192-byte reads with every
// byte copied on to a destination and nothing else. Each side's ratio to it
// says how near the splitting runs to the cost of merely moving the bytes.
#include "kep_vc.h"
#include "media_streams.h"

#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>

namespace {

constexpr size_t CHUNK = 8192;
constexpr uint32_t DST_SIZE = 8u << 20;

std::string data_dir()
{
    std::string d = std::string(KEP_BUILD_DIR) + "/bench-data";
    mkdir(d.c_str(), 0755);
    return d;
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

void write_file(const std::string &path, const media::Bytes &b, int copies)
{
    FILE *f = fopen(path.c_str(), "wb");
    for (int i = 0; i < copies; i++)
        fwrite(b.data(), 1, b.size(), f);
    fclose(f);
}

// Drops the file from the page cache and reads it back once. The kernel's
// reads cost a third more from a page cache that has aged under memory
// pressure than from one just filled from the disk; every run starts from the
// latter, for both sides alike.
void settle_in_page_cache(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return;
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    static char block[1 << 20];
    while (read(fd, block, sizeof block) > 0) {
    }
    close(fd);
}

// About 40 MB of 1080p H.264 (CABAC, high bit rate), repeated from a few
// seconds of encoding; SPS and PPS before every IDR picture, as a camera
// stores it, so that both sides split and parse whole access units.
const std::string &h264_path()
{
    static std::string path = data_dir() + "/1080p_headers.h264";
    if (!exists(path)) {
        media::H264Options o;
        o.width = 1920;
        o.height = 1080;
        o.frames = 24;
        o.gop = 12;
        o.bitrate = 200000000;
        o.repeat_headers = true;
        media::Bytes s = media::encode_h264(o);
        write_file(path, s, s.empty() ? 0 : (int)(40000000 / s.size() + 1));
    }
    return path;
}

const std::string &mjpeg_path()
{
    static std::string path = data_dir() + "/1080p.mjpeg";
    if (!exists(path)) {
        media::MjpegOptions o;
        o.width = 1920;
        o.height = 1080;
        o.frames = 16;
        o.quality = {2, 3, 4};
        media::Bytes s = media::encode_mjpeg(o);
        write_file(path, s, s.empty() ? 0 : (int)(40000000 / s.size() + 1));
    }
    return path;
}

size_t file_size(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (size_t)st.st_size : 0;
}

// The reader reports parse notes on standard output and failed decoder
// controls on standard error (there is no decoder here); neither belongs in
// the measurement's output.
struct Silence {
    Silence()
    {
        fflush(stdout);
        saved_out = dup(1);
        saved_err = dup(2);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        close(null);
    }
    ~Silence()
    {
        fflush(stdout);
        dup2(saved_out, 1);
        dup2(saved_err, 2);
        close(saved_out);
        close(saved_err);
    }
    int saved_out, saved_err;
};

void reader_split(benchmark::State &state, const std::string &path, uint32_t fourcc)
{
    std::vector<uint8_t> dst(DST_SIZE);
    int no_decoder = open("/dev/null", O_RDONLY); // the controls fail: there is no decoder here
    size_t frames = 0;
    for (auto _ : state) {
        Silence quiet;
        kep_m2m m2m = {};
        m2m.dec_fourcc = fourcc;
        m2m.dec_fd = no_decoder;
        if (kep_bs_reader_init(&m2m, path.c_str()) != 0) {
            state.SkipWithError("reader init failed");
            break;
        }
        frames = 0;
        int32_t n;
        while ((n = kep_bs_reader_read_frame(&m2m, nullptr, 0, dst.data(), DST_SIZE)) != -1)
            if (n > 0)
                frames++;
        kep_bs_reader_uninit(&m2m);
        benchmark::DoNotOptimize(dst.data());
    }
    close(no_decoder);
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)file_size(path));
    state.counters["frames"] = (double)frames;
}

void ffmpeg_split(benchmark::State &state, const std::string &path, AVCodecID id)
{
    std::vector<uint8_t> dst(DST_SIZE);
    // FFmpeg's own allocator, aligned as its I/O buffers are.
    uint8_t *chunk = (uint8_t *)av_mallocz(CHUNK + AV_INPUT_BUFFER_PADDING_SIZE);
    const AVCodec *codec = avcodec_find_decoder(id);
    size_t frames = 0;
    for (auto _ : state) {
        AVCodecParserContext *p = av_parser_init(id);
        AVCodecContext *c = avcodec_alloc_context3(codec);
        int fd = open(path.c_str(), O_RDONLY);
        frames = 0;
        for (;;) {
            ssize_t got = read(fd, chunk, CHUNK);
            const uint8_t *in = chunk;
            int left = got > 0 ? (int)got : 0;
            do {
                uint8_t *out = nullptr;
                int out_size = 0;
                int used = av_parser_parse2(p, c, &out, &out_size, left > 0 ? in : nullptr, left, AV_NOPTS_VALUE,
                                            AV_NOPTS_VALUE, 0);
                in += used;
                left -= used;
                if (out_size > 0) {
                    memcpy(dst.data(), out, (size_t)out_size < dst.size() ? (size_t)out_size : dst.size());
                    frames++;
                } else if (got <= 0) {
                    break;
                }
            } while (left > 0 || got <= 0);
            if (got <= 0)
                break;
        }
        close(fd);
        av_parser_close(p);
        avcodec_free_context(&c);
        benchmark::DoNotOptimize(dst.data());
    }
    av_free(chunk);
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)file_size(path));
    state.counters["frames"] = (double)frames;
}

// The bare loop: reads into an aligned buffer, each copied on into the
// destination. The copies go round a frame-sized stretch of it, as the
// frames do, so that both write the same few hundred kilobytes over again.
void read_copy(benchmark::State &state, const std::string &path)
{
    constexpr size_t RING = 256 << 10;
    std::vector<uint8_t> dst(RING + CHUNK);
    uint8_t *chunk = (uint8_t *)aligned_alloc(64, CHUNK);
    for (auto _ : state) {
        // Opened as the reader opens its file.
        int fd = open(path.c_str(), O_RDONLY | O_NOATIME);
        if (fd < 0)
            fd = open(path.c_str(), O_RDONLY);
        size_t at = 0;
        ssize_t got;
        while ((got = read(fd, chunk, CHUNK)) > 0) {
            memcpy(dst.data() + at, chunk, (size_t)got);
            at = at + (size_t)got >= RING ? 0 : at + (size_t)got;
        }
        close(fd);
        benchmark::DoNotOptimize(dst.data());
    }
    free(chunk);
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)file_size(path));
}

void BM_Reader_H264(benchmark::State &state)
{
    reader_split(state, h264_path(), KEP_FOURCC_H264);
}
void BM_FFmpeg_H264(benchmark::State &state)
{
    ffmpeg_split(state, h264_path(), AV_CODEC_ID_H264);
}
void BM_Reader_MJPEG(benchmark::State &state)
{
    reader_split(state, mjpeg_path(), KEP_FOURCC_MJPG);
}
void BM_FFmpeg_MJPEG(benchmark::State &state)
{
    ffmpeg_split(state, mjpeg_path(), AV_CODEC_ID_MJPEG);
}
void BM_ReadCopy_H264(benchmark::State &state)
{
    read_copy(state, h264_path());
}
void BM_ReadCopy_MJPEG(benchmark::State &state)
{
    read_copy(state, mjpeg_path());
}

BENCHMARK(BM_Reader_H264)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_FFmpeg_H264)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Reader_MJPEG)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_FFmpeg_MJPEG)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_ReadCopy_H264)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_ReadCopy_MJPEG)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// Keeps each run's times so that the ratios can be printed at the end, from
// the median of the repetitions (run interleaved, so that a slow spell of the
// machine does not fall on one side only).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs)
            if (r.run_type == Run::RT_Iteration && !r.error_occurred) {
                cpu[r.run_name.function_name].push_back(r.GetAdjustedCPUTime());
                wall[r.run_name.function_name].push_back(r.GetAdjustedRealTime());
            }
    }
    static double median(std::vector<double> v)
    {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    }
    std::map<std::string, std::vector<double>> cpu, wall; // ms per pass
};

} // namespace

int main(int argc, char **argv)
{
    // Five interleaved repetitions unless the command line says otherwise.
    std::vector<char *> args(argv, argv + argc);
    char repetitions[] = "--benchmark_repetitions=5";
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    char no_aggregates[] = "--benchmark_report_aggregates_only=false";
    bool chosen = false;
    for (int i = 1; i < argc; i++)
        chosen = chosen || strncmp(argv[i], "--benchmark_repetitions", 23) == 0;
    if (!chosen) {
        args.push_back(repetitions);
        args.push_back(interleave);
        args.push_back(no_aggregates);
    }
    argc = (int)args.size();
    args.push_back(nullptr);
    argv = args.data();
    benchmark::Initialize(&argc, argv);
    av_log_set_level(AV_LOG_QUIET);
    // Generate the streams before timing anything.
    printf("streams: %s (%.1f MB), %s (%.1f MB)\n", h264_path().c_str(), file_size(h264_path()) / 1e6,
           mjpeg_path().c_str(), file_size(mjpeg_path()) / 1e6);
    settle_in_page_cache(h264_path());
    settle_in_page_cache(mjpeg_path());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // CPU time is the fair measure on a shared machine; wall time is shown too.
    for (const char *format : {"H264", "MJPEG"}) {
        std::string ours = std::string("BM_Reader_") + format, peer = std::string("BM_FFmpeg_") + format,
                    limit = std::string("BM_ReadCopy_") + format;
        double mb = (double)file_size(format[0] == 'H' ? h264_path() : mjpeg_path()) / 1e6;
        for (auto *times : {&reporter.cpu, &reporter.wall}) {
            if (!times->count(ours))
                continue;
            const char *per = times == &reporter.cpu ? "CPU" : "wall";
            double our = RatioReporter::median((*times)[ours]);
            printf("%-5s per %-4s second: reader %7.0f MB/s", format, per, mb / (our / 1e3));
            if (times->count(peer)) {
                double p = RatioReporter::median((*times)[peer]);
                printf(", FFmpeg parser %7.0f MB/s, ratio %.2fx", mb / (p / 1e3), p / our);
            }
            if (times->count(limit)) {
                double l = RatioReporter::median((*times)[limit]);
                printf(", read+copy %7.0f MB/s, reader at %.2f of it", mb / (l / 1e3), l / our);
            }
            printf("\n");
        }
    }
    return 0;
}
