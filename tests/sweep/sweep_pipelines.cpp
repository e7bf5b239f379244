// The pipelines as a careful caller drives them: set-up, a few dozen frames
// (with a stop and restart halfway where asked), teardown, each step checked
// and recorded. What a frame must be: ISP pictures carry their V4L2 sequence
// number in the scene, so they must come in increasing order; bit-stream
// frames must be framed (start code, start of image) and differ from the one
// before; every picture or frame a driver made must reach the caller or the
// next node, as the platform's counters tell (one left with the driver would
// put every later one a read behind).
#include "scene.h"
#include "sweep.h"

#include "kep_vc.h"
#include "vcam.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <set>

namespace sweep {

namespace {

constexpr unsigned kWidth = 160, kHeight = 120; // the decoder streams are 176 x 144
constexpr unsigned kBuffers = 4;
// A run gives up after this many reads in a row without a frame.
constexpr int kDryReads = 4;

long stat(const char *name)
{
    long v = vcam_stat(name);
    return v < 0 ? 0 : v;
}

void note(Record *rec, const std::string &text)
{
    size_t used = strlen(rec->note);
    if (used + 2 >= sizeof rec->note)
        return;
    snprintf(rec->note + used, sizeof rec->note - used, "%s%s", used ? "; " : "", text.c_str());
}

// Follows the platform's fault counter: where the fault fired.
struct FaultWatch {
    Record *rec;
    long seen = 0;
    void check(int read)
    {
        long now = stat("faults");
        if (now > seen && rec->fault_stage == 0) {
            rec->fault_stage = rec->stage;
            rec->fault_read = rec->stage == STREAM ? read : -1;
        }
        seen = now;
    }
    bool fired_since(long before) const { return stat("faults") > before; }
};

// A set-up or teardown step. Teardown steps are tried twice (a careful
// caller retries a release that failed once); a step that fails without the
// fault firing, or fails twice, is a teardown failure.
struct Steps {
    Record *rec;
    FaultWatch *watch;

    bool setup(int result_ok, const char *what)
    {
        watch->check(-1);
        if (result_ok)
            return true;
        if (!rec->failed_call)
            note(rec, std::string(what) + " failed");
        rec->failed_call = 1;
        return false;
    }

    void teardown(const std::function<int()> &call, const char *what)
    {
        long before = stat("faults");
        if (call() == 0) {
            watch->check(-1);
            return;
        }
        bool faulted = watch->fired_since(before);
        watch->check(-1);
        rec->failed_call = 1;
        if (call() != 0 || !faulted) {
            ++rec->teardown_failures;
            note(rec, std::string(what) + (faulted ? " failed twice" : " failed without the fault"));
        }
    }
};

// Mappings of node buffers still in the process (the platform's own pools
// are gone once the nodes are closed).
int node_mappings()
{
    FILE *f = fopen("/proc/self/maps", "r");
    if (!f)
        return 0;
    int n = 0;
    char line[512];
    while (fgets(line, sizeof line, f))
        if (strstr(line, "memfd:vcam"))
            ++n;
    fclose(f);
    return n;
}

// The frame loop's bookkeeping common to all shapes.
struct Frames {
    Record *rec;
    FaultWatch *watch;
    unsigned wanted;
    int dry = 0;

    bool more() const { return unsigned(rec->frames) < wanted && dry < kDryReads; }

    // After read number rec->reads: whether it delivered a frame.
    void after_read(bool frame)
    {
        watch->check(rec->reads);
        if (frame) {
            ++rec->frames;
            dry = 0;
            if (rec->fault_read >= 0 && rec->recovery_reads < 0)
                rec->recovery_reads = rec->reads - rec->fault_read;
        } else {
            ++dry;
        }
        ++rec->reads;
    }
};

kep_m2m *new_record()
{
    kep_m2m *m = static_cast<kep_m2m *>(calloc(1, sizeof *m));
    strcpy(m->isp_dev_name, "/dev/video0");
    strcpy(m->codec_dev_name, "/dev/video1");
    m->isp_fd = m->codec_fd = m->dec_fd = -1;
    m->width = kWidth;
    m->height = kHeight;
    m->isp_fps = 1000;
    m->codec_fps = 30;
    m->isp_fourcc = KEP_FOURCC_S420;
    m->m2m_buffers = kBuffers;
    m->scale = 1;
    return m;
}

// The caller's last steps: the descriptors closed, the tables the library
// leaves to the caller and the record freed.
void close_record(kep_m2m *m)
{
    for (int fd : {m->isp_fd, m->codec_fd, m->dec_fd})
        if (fd >= 0)
            close(fd);
    free(m->codec_cap_buffers);
    free(m->codec_out_buffers);
    free(m);
}

// Pictures (`what`) and coded frames that a driver made and the caller or
// the next node never got.
void count_lost(Record *rec, long pictures, const char *what, long coded)
{
    if (pictures == 0 && coded == 0)
        return;
    rec->lost = int(pictures + coded);
    note(rec, "lost " + std::to_string(pictures) + " " + what + ", " + std::to_string(coded) + " coded frames");
}

// Buffers that go round: every one must be seen again after the fault, or
// one was lost (checked when enough reads followed the fault).
struct Cycle {
    std::set<uint32_t> seen_after_fault;

    void seen(const Record *rec, uint32_t index)
    {
        if (rec->fault_stage != 0)
            seen_after_fault.insert(index);
    }

    void check(Record *rec, uint32_t count, const char *what)
    {
        if (rec->fault_read >= 0 && rec->reads - rec->fault_read > int(3 * count) &&
            seen_after_fault.size() < count) {
            rec->lost_buffers += int(count - seen_after_fault.size());
            note(rec, std::string("a buffer of the ") + what + " was not seen again");
        }
    }
};

// Checks an ISP picture: its sequence number follows the last one.
struct Sequence {
    vcam::Scene scene;
    long last = -1;
    Cycle cycle;

    void picture(Record *rec, const kep_m2m *m, uint32_t index)
    {
        long n = scene.read_counter(static_cast<const uint8_t *>(m->isp_buffers[index].start));
        if (n <= last) {
            ++rec->order_errors;
            note(rec, "picture " + std::to_string(n) + " after " + std::to_string(last));
        }
        last = n;
        cycle.seen(rec, index);
    }
};

bool framed(uint32_t fourcc, const uint8_t *p, uint32_t n)
{
    if (fourcc == KEP_FOURCC_H264)
        return n > 4 && p[0] == 0 && p[1] == 0 && ((p[2] == 0 && p[3] == 1) || p[2] == 1);
    return n > 2 && p[0] == 0xff && p[1] == 0xd8;
}

// Checks a bit-stream frame the encoder gave: framed. (That no frame comes
// twice or goes missing the platform's counters tell.)
struct Bitstream {
    long bytes = 0, frames = 0, errors = 0;

    void frame(Record *rec, const kep_m2m *m)
    {
        if (m->codec_size == 0) {
            ++errors; // an empty buffer with the error flag: the driver lost it
            return;
        }
        const kep_buffer &b = m->codec_cap_buffers[m->codec_index];
        const uint8_t *p = static_cast<const uint8_t *>(b.start);
        uint32_t n = m->codec_size <= b.length ? m->codec_size : b.length;
        if (!framed(m->codec_fourcc, p, n)) {
            ++rec->order_errors;
            note(rec, "frame " + std::to_string(frames) + " not framed");
        }
        bytes += n;
        ++frames;
    }
};

// Pictures the encoder took whose frames never reached the caller.
long coded_lost(const Bitstream &bs)
{
    return stat("enc.out:QBUF.done") - bs.frames - bs.errors;
}

// In read mode the library asks for streaming too and the driver, holding
// no buffers, refuses: the reads start the sensor, so that is no failure.
bool isp_started(const Pipeline &p, kep_m2m *m)
{
    return kep_isp_start(m) == 0 || (p.isp_io != KEP_IO_MMAP && p.isp_io != KEP_IO_USERPTR);
}

void isp_run(const Pipeline &p, unsigned wanted, Record *rec, FaultWatch &watch, Steps &steps)
{
    kep_m2m *m = new_record();
    m->isp_io = p.isp_io;
    m->m2m_enable = 1;
    m->isp_fd = kep_open_device(m->isp_dev_name);
    Sequence seq;
    bool init = steps.setup(m->isp_fd >= 0, "kep_open_device") && steps.setup(kep_isp_init(m) == 0, "kep_isp_init");
    seq.scene.set_size(m->width, m->height);
    if (init && steps.setup(isp_started(p, m), "kep_isp_start")) {
        rec->stage = STREAM;
        Frames fr{rec, &watch, wanted};
        bool restarted = !p.restart;
        while (fr.more()) {
            long taken = stat("frames");
            kep_isp_read(m);
            bool frame = stat("frames") > taken;
            if (frame)
                seq.picture(rec, m, p.isp_io == KEP_IO_MMAP || p.isp_io == KEP_IO_USERPTR ? m->isp_index : 0);
            kep_isp_reset(m);
            fr.after_read(frame);
            if (!restarted && unsigned(rec->frames) == wanted / 2) {
                restarted = true;
                if (!steps.setup(kep_isp_stop(m) == 0, "kep_isp_stop") ||
                    !steps.setup(isp_started(p, m), "kep_isp_start"))
                    break;
                seq.last = -1; // sequence numbers start again with the stream
            }
        }
        if (p.isp_io == KEP_IO_MMAP || p.isp_io == KEP_IO_USERPTR)
            seq.cycle.check(rec, m->m2m_buffers, "ISP");
    }
    rec->stage = TEARDOWN;
    // As mdcap does after a failed init too: stop, release, close.
    if (m->isp_fd >= 0) {
        steps.teardown([m] { return kep_isp_stop(m); }, "kep_isp_stop");
        steps.teardown([m] { return kep_isp_uninit(m); }, "kep_isp_uninit");
    }
    close_record(m);
}

void encoder_run(const Pipeline &p, unsigned wanted, Record *rec, FaultWatch &watch, Steps &steps)
{
    kep_m2m *m = new_record();
    m->isp_io = p.isp_io;
    m->m2m_enable = 1;
    m->codec_in_memory = KEP_IO_USERPTR;
    m->codec_fourcc = p.codec_fourcc;
    Bitstream bs;
    bool isp = false, codec = false;
    m->isp_fd = kep_open_device(m->isp_dev_name);
    m->codec_fd = kep_open_device(m->codec_dev_name);
    bool ok = steps.setup(m->isp_fd >= 0 && m->codec_fd >= 0, "kep_open_device") &&
              steps.setup(kep_isp_init(m) == 0, "kep_isp_init") && (isp = true) &&
              steps.setup(kep_isp_start(m) == 0, "kep_isp_start") && (codec = true) &&
              steps.setup(kep_codec_init(m) == 0, "kep_codec_init") &&
              steps.setup(kep_codec_start(m) == 0, "kep_codec_start");
    Cycle cycle;
    if (ok) {
        rec->stage = STREAM;
        Frames fr{rec, &watch, wanted};
        bool restarted = !p.restart;
        while (fr.more()) {
            long taken = stat("frames");
            kep_codec_read(m);
            if (stat("frames") > taken)
                cycle.seen(rec, m->isp_index);
            bool frame = m->codec_size != 0 || (m->codec_flags & KEP_BUF_FLAG_ERROR);
            if (frame)
                bs.frame(rec, m);
            kep_codec_reset(m);
            fr.after_read(m->codec_size != 0);
            if (!restarted && unsigned(rec->frames) == wanted / 2) {
                restarted = true;
                if (!steps.setup(kep_codec_stop(m) == 0, "kep_codec_stop") ||
                    !steps.setup(kep_codec_start(m) == 0, "kep_codec_start"))
                    break;
            }
        }
        cycle.check(rec, m->m2m_buffers, "ISP");
    }
    // What a failed init mapped is released by the uninit, as after a good one.
    rec->stage = TEARDOWN;
    if (codec) {
        if (m->codec_state == 1)
            steps.teardown([m] { return kep_codec_stop(m); }, "kep_codec_stop");
        steps.teardown([m] { return kep_codec_uninit(m); }, "kep_codec_uninit");
    }
    if (isp) {
        steps.teardown([m] { return kep_isp_stop(m); }, "kep_isp_stop");
        steps.teardown([m] { return kep_isp_uninit(m); }, "kep_isp_uninit");
    }
    // Every ISP frame the library took went to the encoder, and every
    // picture the encoder took came back to the caller as a frame (a frame
    // left behind would put every later one a picture behind).
    long isp_lost = stat("frames") - stat("enc.out:QBUF.done");
    count_lost(rec, isp_lost, "ISP frames", coded_lost(bs));
    close_record(m);
}

std::string stream_path(uint32_t fourcc)
{
    return std::string(KEP_SOURCE_DIR) + "/tests/reader/streams/" +
           (fourcc == KEP_FOURCC_H264 ? "h264_cabac_slices.h264" : "mjpeg_420_restart.mjpeg");
}

// Decoding and transcoding share the reader loop: the stream is read again
// from its start at its end, and after a restart of the decoder.
void decoder_run(const Pipeline &p, unsigned wanted, Record *rec, FaultWatch &watch, Steps &steps)
{
    bool xcode = p.shape == Shape::transcode;
    kep_m2m *m = new_record();
    m->width = 176;
    m->height = 144;
    m->dec_fourcc = p.dec_fourcc;
    std::string path = stream_path(p.dec_fourcc);
    Bitstream bs;
    long pictures = 0;
    bool dec = false, codec = false, reader = false;
    m->dec_fd = kep_open_device("/dev/video2");
    bool ok = steps.setup(m->dec_fd >= 0, "kep_open_device") && steps.setup(kep_dec_init(m) == 0, "kep_dec_init") &&
              (dec = true) && steps.setup(kep_dec_start(m) == 0, "kep_dec_start");
    if (ok && xcode) {
        m->codec_fd = kep_open_device(m->codec_dev_name);
        m->m2m_enable = 1;
        m->codec_in_memory = KEP_IO_USERPTR;
        m->codec_fourcc = p.codec_fourcc;
        m->isp_fps = 30;
        ok = steps.setup(m->codec_fd >= 0, "kep_open_device") && (codec = true) &&
             steps.setup(kep_codec_init(m) == 0, "kep_codec_init") &&
             steps.setup(kep_codec_start(m) == 0, "kep_codec_start");
    }
    ok = ok && steps.setup(kep_bs_reader_init(m, path.c_str()) == 0, "kep_bs_reader_init") && (reader = true);
    Cycle cycle;
    if (ok) {
        rec->stage = STREAM;
        Frames fr{rec, &watch, wanted};
        bool restarted = !p.restart;
        int rewinds = 0;
        while (fr.more()) {
            kep_buffer *in = &m->dec_out_buffers[m->dec_in_index];
            int32_t n = kep_bs_reader_read_frame(m, nullptr, 0, static_cast<uint8_t *>(in->start), in->length);
            if (n < 0) {
                kep_bs_reader_uninit(m);
                reader = false;
                if (++rewinds > 8 || !steps.setup(kep_bs_reader_init(m, path.c_str()) == 0, "kep_bs_reader_init"))
                    break;
                reader = true;
                continue;
            }
            m->dec_in_size = uint32_t(n);
            bool frame;
            if (xcode) {
                int r = kep_dec2enc(m);
                // A frame coded from a picture the decoder could not make is
                // no frame of the stream.
                frame = r > 0 && m->codec_size != 0 && m->dec_size != 0;
                if (r > 0) {
                    if (m->codec_size != 0 || (m->codec_flags & KEP_BUF_FLAG_ERROR))
                        bs.frame(rec, m);
                    if (kep_dec2enc_reset(m) != 0)
                        ++rec->stream_failures;
                } else {
                    ++rec->stream_failures;
                    kep_dec_reset(m); // gives back whatever picture the read took
                }
            } else {
                int r = kep_dec_read(m);
                frame = r == 0 && m->dec_size != 0;
                pictures += r == 0;
                if (r != 0)
                    ++rec->stream_failures;
                if (kep_dec_reset(m) < 0)
                    ++rec->stream_failures;
            }
            if (frame)
                cycle.seen(rec, m->dec_index);
            fr.after_read(frame);
            if (!restarted && unsigned(rec->frames) == wanted / 2) {
                restarted = true;
                bool again;
                if (xcode)
                    again = steps.setup(kep_codec_stop(m) == 0, "kep_codec_stop") &&
                            steps.setup(kep_codec_start(m) == 0, "kep_codec_start");
                else
                    again = steps.setup(kep_dec_stop(m) == 0, "kep_dec_stop") &&
                            steps.setup(kep_dec_start(m) == 0, "kep_dec_start");
                if (!again)
                    break;
                kep_bs_reader_uninit(m);
                reader = steps.setup(kep_bs_reader_init(m, path.c_str()) == 0, "kep_bs_reader_init");
                if (!reader)
                    break;
            }
        }
        cycle.check(rec, m->m2m_buffers, "decoder");
    }
    rec->stage = TEARDOWN;
    if (reader)
        kep_bs_reader_uninit(m);
    if (codec) {
        if (m->codec_state == 1)
            steps.teardown([m] { return kep_codec_stop(m); }, "kep_codec_stop");
        steps.teardown([m] { return kep_codec_uninit(m); }, "kep_codec_uninit");
    }
    // As after a good start, a failed one's mappings go with the stop.
    if (dec && (m->dec_out_buffers || m->dec_cap_buffers))
        steps.teardown([m] { return kep_dec_stop(m); }, "kep_dec_stop");
    kep_dec_uninit(m);
    // Every picture the decoder made reached the caller (or the encoder), and
    // every picture the encoder took came back to the caller as a frame.
    long made = stat("dec.decoded") + stat("dec.errors");
    long dec_lost = made - (xcode ? stat("enc.out:QBUF.done") : pictures);
    count_lost(rec, dec_lost, "pictures", xcode ? coded_lost(bs) : 0);
    close_record(m);
}

} // namespace

std::string Fault::label() const
{
    if (!options.empty())
        return options;
    if (site.empty())
        return "none";
    return site + "@" + std::to_string(k) + ":" + kind;
}

std::vector<Pipeline> pipelines()
{
    std::vector<Pipeline> out;
    const uint32_t h264 = KEP_FOURCC_H264, mjpg = KEP_FOURCC_MJPG;
    for (bool restart : {false, true}) {
        std::string tail = restart ? "+restart" : "";
        out.push_back({"isp-mmap" + tail, Shape::isp, KEP_IO_MMAP, 0, 0, restart});
        out.push_back({"isp-userptr" + tail, Shape::isp, KEP_IO_USERPTR, 0, 0, restart});
        out.push_back({"isp-read" + tail, Shape::isp, 0, 0, 0, restart});
        out.push_back({"enc-h264-ispmmap" + tail, Shape::encoder, KEP_IO_MMAP, h264, 0, restart});
        out.push_back({"enc-h264-ispuserptr" + tail, Shape::encoder, KEP_IO_USERPTR, h264, 0, restart});
        out.push_back({"enc-mjpg-ispmmap" + tail, Shape::encoder, KEP_IO_MMAP, mjpg, 0, restart});
        out.push_back({"enc-mjpg-ispuserptr" + tail, Shape::encoder, KEP_IO_USERPTR, mjpg, 0, restart});
        out.push_back({"dec-h264" + tail, Shape::decoder, 0, 0, h264, restart});
        out.push_back({"dec-mjpg" + tail, Shape::decoder, 0, 0, mjpg, restart});
        out.push_back({"xcode-h264-mjpg" + tail, Shape::transcode, 0, mjpg, h264, restart});
        out.push_back({"xcode-mjpg-h264" + tail, Shape::transcode, 0, h264, mjpg, restart});
    }
    return out;
}

void run_pipeline(const Pipeline &p, const Fault &fault, unsigned frames, Record *rec)
{
    memset(rec, 0, sizeof *rec);
    rec->wanted = int(frames);
    rec->fault_read = -1;
    rec->recovery_reads = -1;
    // Strict: the first broken buffer-ownership rule ends the run.
    std::string options = "--strict --fps 1000";
    if (!fault.options.empty())
        options += " " + fault.options;
    else if (!fault.site.empty())
        options += " --fail " + fault.site + ":@" + std::to_string(fault.k) + ":" + fault.kind;
    if (vcam_configure(options.c_str()) != 0) {
        note(rec, "the platform refused " + options);
        return;
    }
    FaultWatch watch{rec};
    Steps steps{rec, &watch};
    rec->stage = SETUP;
    switch (p.shape) {
    case Shape::isp: isp_run(p, frames, rec, watch, steps); break;
    case Shape::encoder: encoder_run(p, frames, rec, watch, steps); break;
    case Shape::decoder:
    case Shape::transcode: decoder_run(p, frames, rec, watch, steps); break;
    }
    watch.check(-1);
    rec->maps_left = node_mappings();
    rec->violations = int(stat("violations") + stat("QBUF.refused") + stat("enc.foreign"));
    if (rec->violations)
        note(rec, std::to_string(stat("violations")) + " ownership violations, " + std::to_string(stat("QBUF.refused")) +
                      " queueings refused, " + std::to_string(stat("enc.foreign")) + " foreign pictures");
    rec->stage = DONE;
}

} // namespace sweep
