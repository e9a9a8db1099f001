// A fake OSS sound driver: a FUSE file system whose files `dsp` and `mixer`
// answer the OSS requests the way a simple sound card would, so programs run
// the real kernel paths of open, ioctl, select, read, write and close without
// sound hardware. The kernel hands restricted (properly encoded) ioctls on
// regular FUSE files to this daemon.
//
//   krellune_oss_driver MOUNTPOINT --log FILE --audio FILE [--set KEY=VALUE]...
//
// Every request on dsp and mixer is logged, one line each, before it is
// answered; audio written to dsp is appended to the audio file. The file
// `ctl` takes KEY=VALUE lines (the same as --set) that change the answers,
// and reads back the device state. Keys:
//   reset=1               every answer back to its default
//   formats=MASK          formats GETFMTS offers and SETFMT accepts
//   rate=N | rate=off     answer N to every SPEED request
//   channels=N | off      answer N to every CHANNELS request
//   ospace=F,T,S,B        audio_buf_info of GETOSPACE
//   optr=B,K,P iptr=...   count_info of GETOPTR/GETIPTR (default: live counts)
//   fail=REQUEST:ERRNO    fail that request number; fail=off clears all
//   short_write=N         take at most N bytes per write (0: all)
//   read_limit=N          give at most N bytes per read (0: as asked)
//   read_delay_ms, write_delay_ms, sync_delay_ms, close_delay_ms=N
//                         answer late; a signal to the caller ends the wait
//                         of a read or write with EINTR
//   poll_block_ms=N       after open and each write, report dsp not writable
//                         for N ms
//   devmask, stereodevs, recmask, recsrc=MASK   mixer masks
//   volume=CHANNEL:VALUE  a mixer channel's volume word
//   volume_answer=V | off answer V to every volume write
// Read data is a fixed pattern: byte k of an open's stream is (7k + 3) & 255.
#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

#include <linux/soundcard.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace
{

enum : fuse_ino_t { ROOT = 1, DSP = 2, MIXER = 3, CTL = 4 };

struct Entry {
    const char *name;
    fuse_ino_t ino;
};
const Entry entries[] = {{"dsp", DSP}, {"mixer", MIXER}, {"ctl", CTL}};

using Clock = std::chrono::steady_clock;

// What the driver answers; changed through ctl, restored by "reset=1".
struct Config {
    int formats = AFMT_MU_LAW | AFMT_A_LAW | AFMT_U8 | AFMT_S16_LE | AFMT_S16_BE | AFMT_S8 | AFMT_U16_LE | AFMT_U16_BE;
    int forced_rate = 0;
    bool force_channels = false;
    int forced_channels = 0;
    audio_buf_info ospace = {16, 16, 4096, 65536};
    bool fixed_optr = false, fixed_iptr = false;
    count_info optr{}, iptr{};
    std::map<unsigned, int> failures;
    long short_write = 0, read_limit = 0;
    int read_delay_ms = 0, write_delay_ms = 0, sync_delay_ms = 0, close_delay_ms = 0, poll_block_ms = 0;
    int devmask = 0x1FFFFFF, stereodevs = 0x7F, recmask = 0xC0, recsrc = 0x80;
    int volume[SOUND_MIXER_NRDEVICES] = {};
    bool force_volume = false;
    int volume_answer = 0;
};

struct Driver {
    std::mutex lock;
    int log_fd = -1;
    int audio_fd = -1;
    Config cfg;
    // State of the current dsp open.
    int format = AFMT_U8, channels = 1, rate = 8000;
    uint64_t written = 0, writes = 0, read_bytes = 0, reads = 0;
    Clock::time_point blocked_until{};
};

Driver driver;

void log_line(const char *format, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(line, sizeof line - 1, format, ap);
    va_end(ap);
    if (n < 0)
        return;
    if (n > static_cast<int>(sizeof line) - 2)
        n = static_cast<int>(sizeof line) - 2;
    line[n++] = '\n';
    if (driver.log_fd >= 0 && write(driver.log_fd, line, static_cast<size_t>(n)) < 0)
        std::perror("log");
}

const char *file_name(fuse_ino_t ino)
{
    return ino == DSP ? "dsp" : ino == MIXER ? "mixer" : "ctl";
}

// Waits `ms`; false as soon as the request is interrupted by a signal.
bool wait_ms(fuse_req_t req, int ms)
{
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        if (req != nullptr && fuse_req_interrupted(req))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool parse_long(const std::string &text, long *out)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0') {
        // Request numbers above INT_MAX are given in hex.
        unsigned long u = std::strtoul(text.c_str(), &end, 0);
        if (*end != '\0' || u > 0xFFFFFFFFul)
            return false;
        v = static_cast<long>(u);
    }
    *out = v;
    return true;
}

bool parse_ints(const std::string &text, int *out, int count)
{
    size_t start = 0;
    for (int i = 0; i < count; i++) {
        size_t comma = text.find(',', start);
        if ((comma == std::string::npos) != (i == count - 1))
            return false;
        long v = 0;
        if (!parse_long(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start), &v))
            return false;
        out[i] = static_cast<int>(v);
        start = comma + 1;
    }
    return true;
}

// Applies one KEY=VALUE setting; false if it is not understood.
bool configure(const std::string &setting)
{
    size_t eq = setting.find('=');
    if (eq == std::string::npos)
        return false;
    std::string key = setting.substr(0, eq), value = setting.substr(eq + 1);
    if (key == "reset") {
        driver.cfg = Config{};
        return true;
    }
    long v = 0;
    bool off = value == "off";
    bool number = parse_long(value, &v);
    Driver &d = driver;
    struct Delay {
        const char *key;
        int *field;
    } delays[] = {{"read_delay_ms", &d.cfg.read_delay_ms},
                  {"write_delay_ms", &d.cfg.write_delay_ms},
                  {"sync_delay_ms", &d.cfg.sync_delay_ms},
                  {"close_delay_ms", &d.cfg.close_delay_ms},
                  {"poll_block_ms", &d.cfg.poll_block_ms},
                  {"formats", &d.cfg.formats},
                  {"devmask", &d.cfg.devmask},
                  {"stereodevs", &d.cfg.stereodevs},
                  {"recmask", &d.cfg.recmask},
                  {"recsrc", &d.cfg.recsrc}};
    for (const Delay &delay : delays)
        if (key == delay.key) {
            if (!number)
                return false;
            *delay.field = static_cast<int>(v);
            return true;
        }
    if (key == "rate" && (off || number)) {
        d.cfg.forced_rate = off ? 0 : static_cast<int>(v);
    } else if (key == "channels" && (off || number)) {
        d.cfg.force_channels = !off;
        d.cfg.forced_channels = static_cast<int>(v);
    } else if (key == "volume_answer" && (off || number)) {
        d.cfg.force_volume = !off;
        d.cfg.volume_answer = static_cast<int>(v);
    } else if (key == "short_write" && number) {
        d.cfg.short_write = v;
    } else if (key == "read_limit" && number) {
        d.cfg.read_limit = v;
    } else if (key == "ospace") {
        int f[4];
        if (!parse_ints(value, f, 4))
            return false;
        d.cfg.ospace = {f[0], f[1], f[2], f[3]};
    } else if (key == "optr" || key == "iptr") {
        int f[3];
        if (off) {
            (key == "optr" ? d.cfg.fixed_optr : d.cfg.fixed_iptr) = false;
            return true;
        }
        if (!parse_ints(value, f, 3))
            return false;
        (key == "optr" ? d.cfg.fixed_optr : d.cfg.fixed_iptr) = true;
        (key == "optr" ? d.cfg.optr : d.cfg.iptr) = {f[0], f[1], f[2]};
    } else if (key == "fail") {
        if (off) {
            d.cfg.failures.clear();
            return true;
        }
        size_t colon = value.find(':');
        long request = 0, err = 0;
        if (colon == std::string::npos || !parse_long(value.substr(0, colon), &request) ||
            !parse_long(value.substr(colon + 1), &err))
            return false;
        d.cfg.failures[static_cast<unsigned>(request)] = static_cast<int>(err);
    } else if (key == "volume") {
        size_t colon = value.find(':');
        long channel = 0, word = 0;
        if (colon == std::string::npos || !parse_long(value.substr(0, colon), &channel) ||
            !parse_long(value.substr(colon + 1), &word) || channel < 0 || channel >= SOUND_MIXER_NRDEVICES)
            return false;
        d.cfg.volume[channel] = static_cast<int>(word);
    } else {
        return false;
    }
    return true;
}

const char *request_name(fuse_ino_t ino, unsigned cmd)
{
    static const struct {
        unsigned cmd;
        const char *name;
    } names[] = {
        {SNDCTL_DSP_RESET, "SNDCTL_DSP_RESET"},
        {SNDCTL_DSP_SYNC, "SNDCTL_DSP_SYNC"},
        {SNDCTL_DSP_SPEED, "SNDCTL_DSP_SPEED"},
        {SNDCTL_DSP_SETFMT, "SNDCTL_DSP_SETFMT"},
        {SNDCTL_DSP_CHANNELS, "SNDCTL_DSP_CHANNELS"},
        {SNDCTL_DSP_POST, "SNDCTL_DSP_POST"},
        {SNDCTL_DSP_GETFMTS, "SNDCTL_DSP_GETFMTS"},
        {SNDCTL_DSP_GETOSPACE, "SNDCTL_DSP_GETOSPACE"},
        {SNDCTL_DSP_NONBLOCK, "SNDCTL_DSP_NONBLOCK"},
        {SNDCTL_DSP_GETIPTR, "SNDCTL_DSP_GETIPTR"},
        {SNDCTL_DSP_GETOPTR, "SNDCTL_DSP_GETOPTR"},
        {SOUND_MIXER_READ_DEVMASK, "SOUND_MIXER_READ_DEVMASK"},
        {SOUND_MIXER_READ_STEREODEVS, "SOUND_MIXER_READ_STEREODEVS"},
        {SOUND_MIXER_READ_RECMASK, "SOUND_MIXER_READ_RECMASK"},
        {SOUND_MIXER_READ_RECSRC, "SOUND_MIXER_READ_RECSRC"},
        {SOUND_MIXER_WRITE_RECSRC, "SOUND_MIXER_WRITE_RECSRC"},
    };
    for (const auto &n : names)
        if (n.cmd == cmd)
            return n.name;
    if (ino == MIXER && (cmd & ~0xFFu) == (MIXER_READ(0) & ~0xFFu) && (cmd & 0xFF) < SOUND_MIXER_NRDEVICES)
        return "SOUND_MIXER_READ(n)";
    if (ino == MIXER && (cmd & ~0xFFu) == (MIXER_WRITE(0) & ~0xFFu) && (cmd & 0xFF) < SOUND_MIXER_NRDEVICES)
        return "SOUND_MIXER_WRITE(n)";
    return "?";
}

count_info live_pointer(uint64_t bytes, uint64_t blocks)
{
    return {static_cast<int>(bytes & 0x7FFFFFFF), static_cast<int>(blocks & 0x7FFFFFFF),
            static_cast<int>(bytes % 65536)};
}

// The answer to one request: an errno, or data for the caller and its text.
struct Answer {
    int err = 0;
    unsigned char data[16] = {};
    size_t size = 0;
    char text[64] = "0";
    void put(int value)
    {
        std::memcpy(data, &value, sizeof value);
        size = sizeof value;
        std::snprintf(text, sizeof text, "%d", value);
    }
    void put(const audio_buf_info &info)
    {
        std::memcpy(data, &info, sizeof info);
        size = sizeof info;
        std::snprintf(text, sizeof text, "%d,%d,%d,%d", info.fragments, info.fragstotal, info.fragsize, info.bytes);
    }
    void put(const count_info &info)
    {
        std::memcpy(data, &info, sizeof info);
        size = sizeof info;
        std::snprintf(text, sizeof text, "%d,%d,%d", info.bytes, info.blocks, info.ptr);
    }
};

bool single_format(int value)
{
    return value > 0 && (value & (value - 1)) == 0;
}

// Called with the lock held.
Answer answer_dsp(unsigned cmd, int in)
{
    Driver &d = driver;
    Answer a;
    switch (cmd) {
    case SNDCTL_DSP_RESET:
    case SNDCTL_DSP_POST:
    case SNDCTL_DSP_NONBLOCK:
    case SNDCTL_DSP_SYNC:
        break;
    case SNDCTL_DSP_SETFMT:
        if (in != AFMT_QUERY && single_format(in) && (in & d.cfg.formats))
            d.format = in;
        a.put(d.format);
        break;
    case SNDCTL_DSP_CHANNELS:
        if (d.cfg.force_channels)
            d.channels = d.cfg.forced_channels;
        else if (in != 0)
            d.channels = in;
        a.put(d.channels);
        break;
    case SNDCTL_DSP_SPEED:
        d.rate = d.cfg.forced_rate != 0 ? d.cfg.forced_rate : in;
        a.put(d.rate);
        break;
    case SNDCTL_DSP_GETFMTS:
        a.put(d.cfg.formats);
        break;
    case SNDCTL_DSP_GETOSPACE:
        a.put(d.cfg.ospace);
        break;
    case SNDCTL_DSP_GETOPTR:
        a.put(d.cfg.fixed_optr ? d.cfg.optr : live_pointer(d.written, d.writes));
        break;
    case SNDCTL_DSP_GETIPTR:
        a.put(d.cfg.fixed_iptr ? d.cfg.iptr : live_pointer(d.read_bytes, d.reads));
        break;
    default:
        a.err = ENOTTY;
    }
    return a;
}

Answer answer_mixer(unsigned cmd, int in)
{
    Driver &d = driver;
    Answer a;
    unsigned channel = cmd & 0xFF;
    switch (cmd) {
    case SOUND_MIXER_READ_DEVMASK:
        a.put(d.cfg.devmask);
        return a;
    case SOUND_MIXER_READ_STEREODEVS:
        a.put(d.cfg.stereodevs);
        return a;
    case SOUND_MIXER_READ_RECMASK:
        a.put(d.cfg.recmask);
        return a;
    case SOUND_MIXER_READ_RECSRC:
        a.put(d.cfg.recsrc);
        return a;
    case SOUND_MIXER_WRITE_RECSRC:
        // Only channels that can record become sources.
        d.cfg.recsrc = in & d.cfg.recmask;
        a.put(d.cfg.recsrc);
        return a;
    }
    if (channel < SOUND_MIXER_NRDEVICES && cmd == MIXER_READ(channel)) {
        a.put(d.cfg.volume[channel]);
    } else if (channel < SOUND_MIXER_NRDEVICES && cmd == MIXER_WRITE(channel)) {
        d.cfg.volume[channel] = d.cfg.force_volume ? d.cfg.volume_answer : in;
        a.put(d.cfg.volume[channel]);
    } else {
        a.err = ENOTTY;
    }
    return a;
}

void op_ioctl(fuse_req_t req, fuse_ino_t ino, unsigned int cmd, void *arg, fuse_file_info *, unsigned flags,
              const void *in_buf, size_t in_size, size_t out_size)
{
    // A 32-bit caller's requests come flagged as compat; the records they
    // carry hold only ints, so they are answered the same way.
    (void)flags;
    if (ino != DSP && ino != MIXER) {
        fuse_reply_err(req, ENOTTY);
        return;
    }
    int in = 0;
    char shown[48] = "";
    if (_IOC_DIR(cmd) & _IOC_WRITE) {
        if (in_size >= sizeof in)
            std::memcpy(&in, in_buf, sizeof in);
        std::snprintf(shown, sizeof shown, " in=%d", in);
    } else if (_IOC_DIR(cmd) == _IOC_NONE) {
        std::snprintf(shown, sizeof shown, " arg=0x%lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(arg)));
    }
    if (ino == DSP && cmd == SNDCTL_DSP_SYNC && driver.cfg.sync_delay_ms > 0) {
        // Said first, so a test knows the caller is inside the request.
        log_line("dsp sync waits %d ms", driver.cfg.sync_delay_ms);
        wait_ms(nullptr, driver.cfg.sync_delay_ms);
    }
    std::lock_guard<std::mutex> hold(driver.lock);
    Answer a;
    auto failure = driver.cfg.failures.find(cmd);
    if (failure != driver.cfg.failures.end())
        a.err = failure->second;
    else
        a = ino == DSP ? answer_dsp(cmd, in) : answer_mixer(cmd, in);
    if (a.err != 0) {
        log_line("%s ioctl 0x%x %s%s -> errno %d", file_name(ino), cmd, request_name(ino, cmd), shown, a.err);
        fuse_reply_err(req, a.err);
        return;
    }
    log_line("%s ioctl 0x%x %s%s -> %s", file_name(ino), cmd, request_name(ino, cmd), shown, a.text);
    fuse_reply_ioctl(req, 0, a.size != 0 ? a.data : nullptr, a.size < out_size ? a.size : out_size);
}

void fill_attr(fuse_ino_t ino, struct stat *st)
{
    std::memset(st, 0, sizeof *st);
    st->st_ino = ino;
    if (ino == ROOT) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
    } else {
        st->st_mode = S_IFREG | 0666;
        st->st_nlink = 1;
    }
}

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char *name)
{
    for (const Entry &e : entries)
        if (parent == ROOT && std::strcmp(name, e.name) == 0) {
            fuse_entry_param param{};
            param.ino = e.ino;
            fill_attr(e.ino, &param.attr);
            fuse_reply_entry(req, &param);
            return;
        }
    fuse_reply_err(req, ENOENT);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *)
{
    if (ino < ROOT || ino > CTL) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    struct stat st;
    fill_attr(ino, &st);
    fuse_reply_attr(req, &st, 0);
}

void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat *, int, fuse_file_info *fi)
{
    op_getattr(req, ino, fi);
}

void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *)
{
    if (ino != ROOT) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    char buf[512];
    size_t used = 0;
    const Entry all[] = {{".", ROOT}, {"..", ROOT}, entries[0], entries[1], entries[2]};
    for (off_t i = off; i < static_cast<off_t>(sizeof all / sizeof all[0]); i++) {
        struct stat st;
        fill_attr(all[i].ino, &st);
        size_t need = fuse_add_direntry(req, buf + used, sizeof buf - used, all[i].name, &st, i + 1);
        if (used + need > sizeof buf || used + need > size)
            break;
        used += need;
    }
    fuse_reply_buf(req, buf, used);
}

void op_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi)
{
    if (ino == ROOT) {
        fuse_reply_err(req, EISDIR);
        return;
    }
    // Every read and write reaches the driver, unbuffered and in order.
    fi->direct_io = 1;
    fi->nonseekable = ino != CTL;
    if (ino != CTL) {
        std::lock_guard<std::mutex> hold(driver.lock);
        static const char *const modes[] = {"O_RDONLY", "O_WRONLY", "O_RDWR", "O_ACCMODE"};
        log_line("%s open %s%s", file_name(ino), modes[fi->flags & O_ACCMODE],
                 (fi->flags & O_NONBLOCK) ? "|O_NONBLOCK" : "");
        if (ino == DSP) {
            Driver &d = driver;
            d.format = AFMT_U8;
            d.channels = 1;
            d.rate = 8000;
            d.written = d.writes = d.read_bytes = d.reads = 0;
            d.blocked_until = Clock::now() + std::chrono::milliseconds(d.cfg.poll_block_ms);
        }
    }
    fuse_reply_open(req, fi);
}

std::string status()
{
    std::lock_guard<std::mutex> hold(driver.lock);
    char text[256];
    std::snprintf(text, sizeof text, "format=%d channels=%d rate=%d written=%" PRIu64 " writes=%" PRIu64 "\n",
                  driver.format, driver.channels, driver.rate, driver.written, driver.writes);
    return text;
}

void op_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *)
{
    if (ino == CTL) {
        std::string text = status();
        size_t start = off < static_cast<off_t>(text.size()) ? static_cast<size_t>(off) : text.size();
        size_t n = text.size() - start < size ? text.size() - start : size;
        fuse_reply_buf(req, text.data() + start, n);
        return;
    }
    if (ino != DSP) {
        fuse_reply_err(req, EINVAL);
        return;
    }
    if (driver.cfg.read_delay_ms > 0 && !wait_ms(req, driver.cfg.read_delay_ms)) {
        std::lock_guard<std::mutex> hold(driver.lock);
        log_line("dsp read %zu -> interrupted", size);
        fuse_reply_err(req, EINTR);
        return;
    }
    std::lock_guard<std::mutex> hold(driver.lock);
    Driver &d = driver;
    size_t n = d.cfg.read_limit > 0 && static_cast<size_t>(d.cfg.read_limit) < size
                   ? static_cast<size_t>(d.cfg.read_limit)
                   : size;
    std::string data(n, '\0');
    for (size_t i = 0; i < n; i++)
        data[i] = static_cast<char>(((d.read_bytes + i) * 7 + 3) & 0xFF);
    d.read_bytes += n;
    d.reads++;
    log_line("dsp read %zu -> %zu", size, n);
    fuse_reply_buf(req, data.data(), n);
}

void op_write(fuse_req_t req, fuse_ino_t ino, const char *buf, size_t size, off_t, fuse_file_info *)
{
    if (ino == CTL) {
        std::lock_guard<std::mutex> hold(driver.lock);
        std::string text(buf, size);
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            std::string line = text.substr(start, end - start);
            if (!line.empty() && !configure(line)) {
                fuse_reply_err(req, EINVAL);
                return;
            }
            start = end + 1;
        }
        fuse_reply_write(req, size);
        return;
    }
    if (ino != DSP) {
        fuse_reply_err(req, EINVAL);
        return;
    }
    if (driver.cfg.write_delay_ms > 0 && !wait_ms(req, driver.cfg.write_delay_ms)) {
        std::lock_guard<std::mutex> hold(driver.lock);
        log_line("dsp write %zu -> interrupted", size);
        fuse_reply_err(req, EINTR);
        return;
    }
    std::lock_guard<std::mutex> hold(driver.lock);
    Driver &d = driver;
    size_t n = d.cfg.short_write > 0 && static_cast<size_t>(d.cfg.short_write) < size
                   ? static_cast<size_t>(d.cfg.short_write)
                   : size;
    if (d.audio_fd >= 0 && write(d.audio_fd, buf, n) != static_cast<ssize_t>(n)) {
        log_line("dsp write %zu -> errno %d", size, EIO);
        fuse_reply_err(req, EIO);
        return;
    }
    d.written += n;
    d.writes++;
    d.blocked_until = Clock::now() + std::chrono::milliseconds(d.cfg.poll_block_ms);
    log_line("dsp write %zu -> %zu", size, n);
    fuse_reply_write(req, n);
}

void op_poll(fuse_req_t req, fuse_ino_t, fuse_file_info *, fuse_pollhandle *ph)
{
    Clock::time_point until;
    {
        std::lock_guard<std::mutex> hold(driver.lock);
        until = driver.blocked_until;
    }
    if (Clock::now() >= until) {
        fuse_reply_poll(req, POLLIN | POLLRDNORM | POLLOUT | POLLWRNORM);
        if (ph != nullptr)
            fuse_pollhandle_destroy(ph);
        return;
    }
    fuse_reply_poll(req, POLLIN | POLLRDNORM);
    if (ph != nullptr)
        std::thread([ph, until] {
            std::this_thread::sleep_until(until);
            fuse_lowlevel_notify_poll(ph);
            fuse_pollhandle_destroy(ph);
        }).detach();
}

void op_flush(fuse_req_t req, fuse_ino_t ino, fuse_file_info *)
{
    // Logged on arrival: the caller's descriptor is gone from its table by now.
    if (ino != CTL) {
        std::lock_guard<std::mutex> hold(driver.lock);
        log_line("%s close", file_name(ino));
    }
    if (ino == DSP && driver.cfg.close_delay_ms > 0)
        wait_ms(nullptr, driver.cfg.close_delay_ms);
    fuse_reply_err(req, 0);
}

void op_release(fuse_req_t req, fuse_ino_t, fuse_file_info *)
{
    fuse_reply_err(req, 0);
}

int open_output(const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        std::perror(path);
    return fd;
}

} // namespace

int main(int argc, char **argv)
{
    const char *mountpoint = nullptr;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if ((arg == "--log" || arg == "--audio" || arg == "--set") && i + 1 < argc) {
            const char *value = argv[++i];
            if (arg == "--log" && (driver.log_fd = open_output(value)) < 0)
                return 1;
            if (arg == "--audio" && (driver.audio_fd = open_output(value)) < 0)
                return 1;
            if (arg == "--set" && !configure(value)) {
                std::fprintf(stderr, "%s: bad setting %s\n", argv[0], value);
                return 2;
            }
        } else if (mountpoint == nullptr && arg[0] != '-') {
            mountpoint = argv[i];
        } else {
            std::fprintf(stderr, "usage: %s MOUNTPOINT --log FILE --audio FILE [--set KEY=VALUE]...\n", argv[0]);
            return 2;
        }
    }
    if (mountpoint == nullptr) {
        std::fprintf(stderr, "%s: no mount point\n", argv[0]);
        return 2;
    }

    fuse_lowlevel_ops ops{};
    ops.lookup = op_lookup;
    ops.getattr = op_getattr;
    ops.setattr = op_setattr;
    ops.readdir = op_readdir;
    ops.open = op_open;
    ops.read = op_read;
    ops.write = op_write;
    ops.flush = op_flush;
    ops.release = op_release;
    ops.ioctl = op_ioctl;
    ops.poll = op_poll;

    char *fuse_argv[] = {argv[0], const_cast<char *>("-o"), const_cast<char *>("fsname=krellune_oss"), nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, fuse_argv);
    fuse_session *se = fuse_session_new(&args, &ops, sizeof ops, nullptr);
    if (se == nullptr)
        return 1;
    int rc = 1;
    if (fuse_set_signal_handlers(se) == 0) {
        if (fuse_session_mount(se, mountpoint) == 0) {
            fuse_loop_config *config = fuse_loop_cfg_create();
            fuse_loop_cfg_set_max_threads(config, 16);
            rc = fuse_session_loop_mt(se, config) < 0 ? 1 : 0;
            fuse_loop_cfg_destroy(config);
            fuse_session_unmount(se);
        }
        fuse_remove_signal_handlers(se);
    }
    fuse_session_destroy(se);
    return rc;
}
