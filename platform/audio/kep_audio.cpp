// libkep_audio for the virtual platform: the microphone's and the speaker's
// volume step and mute switch, kept across runs in a small state file the
// way the camera's codec driver keeps them across programs.
//
// State file: $KEP_AUDIO_STATE_FILE, or /tmp/kep_audio.state. Text lines
// "mic_volume N", "mic_mute N", "spk_volume N", "spk_mute N". Changes are
// made under an exclusive lock on "<state file>.lock" and published by
// renaming a complete new file over the old one, so concurrent runs never see
// a half-written file and never lose each other's change.
// $KEP_AUDIO_TRACE, when set, names a file to which every call is appended as
// one line ("kep_audio_mic_vol_set(0, 5) = 0"), for tests of call order.
#include "kep_audio.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#define KEP_AUDIO_API extern "C" __attribute__((visibility("default")))

namespace {

enum { STEPS = 20, DEFAULT_STEP = 10, PATH_CHARS = 4096 };

struct channel_state {
    int volume;
    int mute;
};

struct audio_state {
    channel_state mic;
    channel_state spk;
};

enum which { MIC, SPK };

const char *state_path()
{
    const char *p = getenv("KEP_AUDIO_STATE_FILE");
    return p && p[0] ? p : "/tmp/kep_audio.state";
}

void trace(const char *fmt, ...)
{
    const char *path = getenv("KEP_AUDIO_TRACE");
    if (!path || !path[0])
        return;
    char line[160];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    if ((size_t)n > sizeof line - 2)
        n = (int)sizeof line - 2;
    line[n++] = '\n';
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    // One write per line: O_APPEND keeps lines of concurrent runs whole.
    if (write(fd, line, (size_t)n) < 0) {
    }
    close(fd);
}

channel_state *pick(audio_state *st, which w)
{
    return w == MIC ? &st->mic : &st->spk;
}

// One "key value" line. Missing or malformed entries keep their defaults;
// the file is not trusted.
void parse_line(audio_state *st, const char *line, size_t len)
{
    char text[64];
    if (len >= sizeof text)
        return; // no valid line is this long
    memcpy(text, line, len);
    text[len] = '\0';
    char *value = strchr(text, ' ');
    if (!value)
        return;
    *value++ = '\0';
    char *end;
    errno = 0;
    long v = strtol(value, &end, 10);
    if (end == value || *end != '\0' || errno == ERANGE)
        return;
    if (strcmp(text, "mic_volume") == 0 && v >= 0 && v < STEPS)
        st->mic.volume = (int)v;
    else if (strcmp(text, "spk_volume") == 0 && v >= 0 && v < STEPS)
        st->spk.volume = (int)v;
    else if (strcmp(text, "mic_mute") == 0 && (v == 0 || v == 1))
        st->mic.mute = (int)v;
    else if (strcmp(text, "spk_mute") == 0 && (v == 0 || v == 1))
        st->spk.mute = (int)v;
}

void load(audio_state *st)
{
    st->mic = {DEFAULT_STEP, 0};
    st->spk = {DEFAULT_STEP, 0};
    int fd = open(state_path(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    // The file this library writes is under 100 bytes; more is not ours.
    char buf[512];
    size_t len = 0;
    while (len < sizeof buf) {
        ssize_t n = read(fd, buf + len, sizeof buf - len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        len += (size_t)n;
    }
    close(fd);
    // A last line without its end counts only when the whole file was read.
    const bool whole = len < sizeof buf;
    size_t start = 0;
    for (size_t i = 0; i <= len; i++) {
        if ((i == len && whole) || (i < len && buf[i] == '\n')) {
            parse_line(st, buf + start, i - start);
            start = i + 1;
        }
    }
}

// Write a complete new file beside the old one and rename it into place.
int store(const audio_state *st)
{
    char tmp[PATH_CHARS];
    if (snprintf(tmp, sizeof tmp, "%s.XXXXXX", state_path()) >= (int)sizeof tmp)
        return -ENAMETOOLONG;
    int fd = mkstemp(tmp);
    if (fd < 0)
        return -errno;
    char text[128];
    int n = snprintf(text, sizeof text, "mic_volume %d\nmic_mute %d\nspk_volume %d\nspk_mute %d\n",
                     st->mic.volume, st->mic.mute, st->spk.volume, st->spk.mute);
    int err = 0;
    errno = 0;
    if (fchmod(fd, 0644) < 0 || write(fd, text, (size_t)n) != n || fsync(fd) < 0)
        err = errno ? -errno : -EIO; // a short write sets no errno
    if (close(fd) < 0 && !err)
        err = -errno;
    if (!err && rename(tmp, state_path()) < 0)
        err = -errno;
    if (err)
        unlink(tmp);
    return err;
}

// Read-modify-write under the lock so that two runs changing different
// settings both keep their change.
int update(which w, int field_is_mute, int value)
{
    char lock_path[PATH_CHARS];
    if (snprintf(lock_path, sizeof lock_path, "%s.lock", state_path()) >= (int)sizeof lock_path)
        return -ENAMETOOLONG;
    int lock = open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0)
        return -errno;
    int err = 0;
    if (flock(lock, LOCK_EX) < 0) {
        err = -errno;
    } else {
        audio_state st;
        load(&st);
        channel_state *ch = pick(&st, w);
        if (field_is_mute)
            ch->mute = value != 0;
        else
            ch->volume = value;
        err = store(&st);
    }
    close(lock); // releases the lock
    return err;
}

int get_mute(which w, int card, int *mute)
{
    if (card != 0)
        return -ENODEV;
    if (!mute)
        return -EINVAL;
    audio_state st;
    load(&st);
    *mute = pick(&st, w)->mute;
    return 0;
}

int get_items(int card, int *items)
{
    if (card != 0)
        return -ENODEV;
    if (!items)
        return -EINVAL;
    *items = STEPS;
    return 0;
}

int get_step(which w, int card, int *step)
{
    if (card != 0)
        return -ENODEV;
    if (!step)
        return -EINVAL;
    audio_state st;
    load(&st);
    *step = pick(&st, w)->volume;
    return 0;
}

int set_mute(which w, int card, int mute)
{
    if (card != 0)
        return -ENODEV;
    return update(w, 1, mute);
}

int set_step(which w, int card, int step)
{
    if (card != 0)
        return -ENODEV;
    if (step < 0 || step >= STEPS)
        return -EINVAL;
    return update(w, 0, step);
}

} // namespace

KEP_AUDIO_API int kep_audio_mic_vol_get_mute(int card, int *mute)
{
    int rc = get_mute(MIC, card, mute);
    trace("kep_audio_mic_vol_get_mute(%d) = %d", card, rc);
    return rc;
}

KEP_AUDIO_API int kep_audio_mic_vol_get_items(int card, int *items)
{
    int rc = get_items(card, items);
    trace("kep_audio_mic_vol_get_items(%d) = %d", card, rc);
    return rc;
}

KEP_AUDIO_API int kep_audio_mic_vol_get(int card, int *step)
{
    int rc = get_step(MIC, card, step);
    trace("kep_audio_mic_vol_get(%d) = %d", card, rc);
    return rc;
}

KEP_AUDIO_API int kep_audio_mic_vol_set_mute(int card, int mute)
{
    int rc = set_mute(MIC, card, mute);
    trace("kep_audio_mic_vol_set_mute(%d, %d) = %d", card, mute, rc);
    return rc;
}

KEP_AUDIO_API int kep_audio_mic_vol_set(int card, int step)
{
    int rc = set_step(MIC, card, step);
    trace("kep_audio_mic_vol_set(%d, %d) = %d", card, step, rc);
    return rc;
}

KEP_AUDIO_API int kep_audio_spk_vol_get_mute(int card, int *mute)
{
    int rc = get_mute(SPK, card, mute);
    trace("kep_audio_spk_vol_get_mute(%d) = %d", card, rc);
    return rc;
}

KEP_AUDIO_API int kep_audio_spk_vol_get_items(int card, int *items)
{
    int rc = get_items(card, items);
    trace("kep_audio_spk_vol_get_items(%d) = %d", card, rc);
    return rc;
}

KEP_AUDIO_API int kep_audio_spk_vol_get(int card, int *step)
{
    int rc = get_step(SPK, card, step);
    trace("kep_audio_spk_vol_get(%d) = %d", card, rc);
    return rc;
}

KEP_AUDIO_API int kep_audio_spk_vol_set_mute(int card, int mute)
{
    int rc = set_mute(SPK, card, mute);
    trace("kep_audio_spk_vol_set_mute(%d, %d) = %d", card, mute, rc);
    return rc;
}

KEP_AUDIO_API int kep_audio_spk_vol_set(int card, int step)
{
    int rc = set_step(SPK, card, step);
    trace("kep_audio_spk_vol_set(%d, %d) = %d", card, step, rc);
    return rc;
}
