// Recording fake for the decoder controls that the bit-stream reader sets.
#ifndef KEP_TESTS_FAKE_DECODER_H
#define KEP_TESTS_FAKE_DECODER_H

#include <stdint.h>
#include <vector>

struct ControlCall {
    unsigned long request = 0;
    uint32_t id = 0;
    uint32_t which = 0;
    int32_t value = 0;
    const uint8_t *address = nullptr; // table controls: where the table was
    std::vector<uint8_t> table;       // table controls: its 64 bytes at the call
};

// While one exists, control requests on its descriptor (a real eventfd) are
// recorded and answered with success, or with fail_errno when that is set
// (for the next fail_times requests only, when that is positive).
struct FakeDecoder {
    FakeDecoder();
    ~FakeDecoder();
    FakeDecoder(const FakeDecoder &) = delete;
    FakeDecoder &operator=(const FakeDecoder &) = delete;

    std::vector<ControlCall> with_id(uint32_t id) const;

    int fd = -1;
    int fail_errno = 0;
    int fail_times = 0;
    std::vector<ControlCall> calls;
};

#endif
