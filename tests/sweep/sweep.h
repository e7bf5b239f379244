// The fault sweep: each video pipeline run for a few dozen frames with one
// fault injected by the virtual platform, at the k-th occurrence of one
// request (or for the whole run), and every run classified:
//   (a) a process-ending failure the library specifies, with its message and
//       status;
//   (b) a failure result with the library's message, after which the
//       caller's teardown works;
//   (c) recovered: frames flow again within two reads, in order, and no
//       frame a driver handed over is lost.
// Anything else (a crash, a sanitizer report, a hang, an ownership
// violation, a mapping left behind, a lost frame or buffer, a stream that
// does not recover from a transient fault) is a failure of the run.
#ifndef KEP_SWEEP_H
#define KEP_SWEEP_H

#include <stdint.h>
#include <string>
#include <vector>

namespace sweep {

enum class Shape { isp, encoder, decoder, transcode };

struct Pipeline {
    std::string name;
    Shape shape;
    uint32_t isp_io;       // ISP I/O method (1 mmap, 2 user pointer, 0 read)
    uint32_t codec_fourcc; // what the encoder makes
    uint32_t dec_fourcc;   // what the decoder takes
    bool restart;          // stopped and started again halfway
};

// Every pipeline: the ISP alone in its three modes; ISP to encoder (H.264,
// MJPEG; ISP memory-mapped, user pointer); reader to decoder (H.264, MJPEG);
// decoder to encoder; each also with a stop and restart.
std::vector<Pipeline> pipelines();

// One fault: `site` "NODE:REQ" hit at its k-th occurrence with `kind` (an
// errno name, badindex or errorflag), or `options`, platform options that
// hold for the whole run (a grant, a refusal, ...).
struct Fault {
    std::string site;
    unsigned k = 0;
    std::string kind;
    std::string options;
    std::string label() const; // "isp:DQBUF@3:EIO" or the options
    bool transient() const { return options.empty(); }
};

// Where in the run a fault fired, and the run's own account of itself. The
// child writes it into memory it shares with the sweep, as it goes, so that
// what it saw survives a child that the library ends.
enum Stage { SETUP = 1, STREAM, TEARDOWN, DONE };

struct Record {
    int wanted;            // frames the run asks for
    int stage;             // last stage entered
    int fault_stage;       // stage the fault fired in, 0 none
    int fault_read;        // read it fired in, -1 outside the reads
    int failed_call;       // a set-up or teardown call returned a failure
    int stream_failures;   // streaming calls that returned a failure
    int reads, frames;     // reads made, frames delivered
    int recovery_reads;    // reads from the fault's to the first frame at or after it, -1 none
    int order_errors;      // frames out of order, twice, or not framed
    int lost;              // frames a driver made that never reached the caller or the next node
    int lost_buffers;      // buffers not seen again after the fault
    int teardown_failures; // teardown calls that failed twice, or without the fault
    int maps_left;         // mappings of node buffers after the nodes are closed
    int violations;        // requests the platform refused as against its rules
    char note[240];
};

// Runs the pipeline under `fault` in this process (the child): configures
// the platform, sets up, streams, tears down, fills `rec`. `frames` frames
// are wanted; returns normally unless the library ends the process.
void run_pipeline(const Pipeline &p, const Fault &fault, unsigned frames, Record *rec);

// Counters NODE:REQ of a clean run: the requests and calls the pipeline
// makes, and how often.
struct Site {
    std::string name; // "isp:DQBUF"
    long count;
};

enum class Class { a, b, c, not_reached, crash, sanitizer, hang, violation, leak, unexpected_end, not_recovered };
const char *class_name(Class c);
bool is_failure(Class c);

struct Outcome {
    Class cls;
    std::string why; // for failures: what went wrong
};

// Classifies one run from what the child left and how it ended.
Outcome classify(const Pipeline &p, const Fault &f, const Record &rec, bool timed_out, int wait_status,
                 const std::string &err);

// The runs of one pipeline: for every site of a clean run, k over the first
// occurrences, those around the restart and the last ones (the teardown),
// every fault kind; then the whole-run faults. `every` keeps one run in
// `every` (1: all), spread over sites and kinds.
std::vector<Fault> plan(const Pipeline &p, const std::vector<Site> &sites, unsigned every);

// Runs one fault in a child with a time limit and classifies it.
struct Run {
    Pipeline pipeline;
    Fault fault;
    Outcome outcome;
    Record rec;
};
Run run_one(const Pipeline &p, const Fault &f, unsigned frames, int timeout_ms);

// The sites of a clean run of the pipeline (in a child); empty on failure.
std::vector<Site> sites_of(const Pipeline &p, unsigned frames, std::string *error);

// The table: runs and classes per pipeline, per request and per fault kind,
// and the failures in full.
std::string table(const std::vector<Run> &runs);

} // namespace sweep

#endif
