/* The emulated V4L2 camera (see fakecam.h for what it answers and how it is
 * configured). */
#define _GNU_SOURCE
#include "fakecam.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "controls.h"

/* clang-format off: jpeglib.h needs FILE from stdio.h first */
#include <jpeglib.h>
#include <math.h>
/* clang-format on */

#define EXPORT __attribute__((visibility("default")))
#define MAX_NODES 8
#define MAX_FORMATS 8
#define MAX_SIZES 8
#define MAX_FDS 4096
#define MAX_BUFFERS 8
#define MAX_RATES 8
#define VIDEO_MAJOR 81
#define VIDEO_GID 44

/* ---- the C library's own calls -------------------------------------------------- */

static int (*real_open)(const char *, int, ...);
static int (*real_close)(int);
static int (*real_ioctl)(int, unsigned long, ...);
static ssize_t (*real_read)(int, void *, size_t);
static void *(*real_mmap)(void *, size_t, int, int, int, off_t);
static int (*real_poll)(struct pollfd *, nfds_t, int);
static int (*real_ppoll)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *);
static int (*real_select)(int, fd_set *, fd_set *, fd_set *, struct timeval *);
static int (*real_pselect)(int, fd_set *, fd_set *, fd_set *, const struct timespec *, const sigset_t *);
static int (*real_openat)(int, const char *, int, ...);
static int (*real_stat)(const char *, struct stat *);
static int (*real_lstat)(const char *, struct stat *);
static int (*real_fstat)(int, struct stat *);
static int (*real_fstatat)(int, const char *, struct stat *, int);
static int (*real_xstat)(int, const char *, struct stat *);
static int (*real_lxstat)(int, const char *, struct stat *);
static int (*real_fxstat)(int, int, struct stat *);
static int (*real_fxstatat)(int, int, const char *, struct stat *, int);
static int (*real_access)(const char *, int);
static DIR *(*real_opendir)(const char *);
static struct dirent *(*real_readdir)(DIR *);
static struct dirent64 *(*real_readdir64)(DIR *);
static int (*real_closedir)(DIR *);
static long (*real_syscall)(long, ...);

static void *next_symbol(const char *name) { return dlsym(RTLD_NEXT, name); }

/* ---- configuration ------------------------------------------------------------------ */

struct format {
    uint32_t fourcc;
    const char *name;
    int compressed;
    int planes; /* memory planes: more than one only on a multi-planar node */
};

static const struct format known_formats[] = {
    {V4L2_PIX_FMT_BGR24, "BGR3", 0, 1},  {V4L2_PIX_FMT_RGB24, "RGB3", 0, 1},
    {V4L2_PIX_FMT_YUYV, "YUYV", 0, 1},   {V4L2_PIX_FMT_MJPEG, "MJPG", 1, 1},
    {V4L2_PIX_FMT_H264, "H264", 1, 1},   {V4L2_PIX_FMT_NV12, "NV12", 0, 1},
    {V4L2_PIX_FMT_NV12M, "NV12M", 0, 2},
};

static struct {
    int nodes;
    char card[32];
    const struct format *formats[MAX_FORMATS];
    int format_count;
    int widths[MAX_SIZES], heights[MAX_SIZES];
    int size_count;
    double fps;
    double rates[MAX_RATES]; /* frame rates offered, highest first */
    int rate_count;
    double bandwidth; /* bytes a second uncompressed formats may send; 0: no limit */
    int yuv_limited;  /* YUV in limited range (16..235) rather than full */
    unsigned mplane;  /* bit N: node N is multi-planar */
    int fault_slow;
    double render_seconds; /* thread CPU time spent drawing and encoding frames */
    long rendered;
    int fault_eacces, fault_fmt_busy, fault_stream_busy, fault_unplug, fault_stall, fault_size_change;
    int fault_dequeue_eio;
    double unplug_after, replug_after;
    int unplugs;
    FILE *log;
    int log_all;
} config;

/* ---- state ----------------------------------------------------------------------------- */

struct node {
    int generation;   /* handles opened in an older generation are dead */
    int present;      /* in /dev now */
    int streamed;     /* has streamed since it appeared: the unplug clock runs */
    int unplugs;      /* times it went away */
    double unplug_at; /* when it goes (0: not scheduled) */
    double replug_at; /* when it comes back (0: never) */
};

struct buffer {
    int queued;
    int done;
    uint32_t bytesused;
    uint32_t sequence;
    struct timeval stamp;
};

struct handle {
    int node;
    int generation;
    int nonblocking;
    int mplane; /* the node's buffer type is V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE */
    const struct format *format;
    int width, height;
    uint32_t bytesperline, sizeimage; /* of the first plane; sizeimage of all planes for read() */
    uint32_t plane_size[2];           /* each plane's bytes (the second for two-plane formats) */
    size_t plane_offset[2];           /* where each plane starts in a buffer, page-aligned */
    /* memory-mapped buffers: one memfd holding them all, page-aligned each */
    int buffer_count;
    size_t buffer_stride;
    int memfd;
    uint8_t *memory;
    struct buffer buffers[MAX_BUFFERS];
    int queue[MAX_BUFFERS];
    int queue_length;
    int streaming;
    int reading; /* read() has started the clock */
    double started;
    long delivered;   /* sequence number of the last frame handed out, -1 none */
    uint8_t *scratch; /* a BGR frame, for the conversions */
    double fps;       /* the frame rate now (S_PARM) */
    int resized;      /* the size-change fault has struck this handle */
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_once_t once = PTHREAD_ONCE_INIT;
static struct node nodes[MAX_NODES];
static struct handle *handles[MAX_FDS];
/* DIR streams of /dev, and how many of our entries each has handed out. */
static struct {
    DIR *dir;
    int next;
    struct dirent entry;
    struct dirent64 entry64;
} dev_dirs[16];

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void logf_(const char *fmt, ...) {
    if (!config.log) return;
    va_list args;
    va_start(args, fmt);
    vfprintf(config.log, fmt, args);
    va_end(args);
    fputc('\n', config.log);
    fflush(config.log);
}

static const struct format *format_named(const char *name) {
    if (!strcmp(name, "BGR24")) name = "BGR3";
    if (!strcmp(name, "RGB24")) name = "RGB3";
    if (!strcmp(name, "MJPEG")) name = "MJPG";
    for (size_t i = 0; i < sizeof known_formats / sizeof known_formats[0]; ++i) {
        if (!strcmp(known_formats[i].name, name)) return &known_formats[i];
    }
    return NULL;
}

/* The process's starting environment, read from /proc: the library may be
 * set up by a sanitizer's start-up code, before the C library has environ. */
static char startup_env[65536];
static size_t startup_env_length;

static void read_startup_env(void) {
    int fd = (int)real_syscall(SYS_openat, AT_FDCWD, "/proc/self/environ", O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return;
    for (;;) {
        long n = real_syscall(SYS_read, fd, startup_env + startup_env_length,
                              sizeof startup_env - 1 - startup_env_length);
        if (n <= 0) break;
        startup_env_length += (size_t)n;
    }
    real_syscall(SYS_close, fd);
}

static const char *config_env(const char *name) {
    size_t length = strlen(name);
    for (size_t at = 0; at < startup_env_length; at += strlen(startup_env + at) + 1) {
        if (!strncmp(startup_env + at, name, length) && startup_env[at + length] == '=')
            return startup_env + at + length + 1;
    }
    return getenv(name);
}

/* FAKECAM_RATES, FAKECAM_BANDWIDTH and FAKECAM_YUV_RANGE; after the fault
 * list (the slow fault leaves 5 frames a second alone). */
static void setup_rates(void) {
    char list[256];
    const char *text = config_env("FAKECAM_RATES");
    snprintf(list, sizeof list, "%s", text && !config.fault_slow ? text : "");
    for (char *save = NULL, *item = strtok_r(list, ",", &save); item; item = strtok_r(NULL, ",", &save)) {
        double r = atof(item);
        if (r > 0 && config.rate_count < MAX_RATES) config.rates[config.rate_count++] = r;
    }
    if (config.rate_count == 0) config.rates[config.rate_count++] = config.fps;
    /* Highest first, as a UVC camera lists its intervals shortest first. */
    for (int i = 1; i < config.rate_count; ++i) {
        for (int j = i; j > 0 && config.rates[j] > config.rates[j - 1]; --j) {
            double t = config.rates[j];
            config.rates[j] = config.rates[j - 1];
            config.rates[j - 1] = t;
        }
    }
    config.fps = config.rates[0];
    text = config_env("FAKECAM_BANDWIDTH");
    if (text && !strcmp(text, "usb2"))
        config.bandwidth = 24.576e6; /* high-speed isochronous: 3 x 1024 bytes per 125 us */
    else if (text)
        config.bandwidth = atof(text) * 1e6;
    text = config_env("FAKECAM_YUV_RANGE");
    config.yuv_limited = text && !strcmp(text, "limited");
}

/* FAKECAM_MPLANE: "1" for every node, or the nodes named ("video1,video3"). */
static void setup_mplane(void) {
    char list[256];
    const char *text = config_env("FAKECAM_MPLANE");
    snprintf(list, sizeof list, "%s", text ? text : "");
    if (!strcmp(list, "1")) config.mplane = ~0u;
    for (char *save = NULL, *item = strtok_r(list, ",", &save); item; item = strtok_r(NULL, ",", &save)) {
        int n = -1;
        if (sscanf(item, "video%d", &n) == 1 && n >= 0 && n < MAX_NODES) config.mplane |= 1u << n;
    }
}

static void setup(void) {
    real_open = next_symbol("open");
    real_close = next_symbol("close");
    real_ioctl = next_symbol("ioctl");
    real_read = next_symbol("read");
    real_mmap = next_symbol("mmap");
    real_poll = next_symbol("poll");
    real_ppoll = next_symbol("ppoll");
    real_select = next_symbol("select");
    real_pselect = next_symbol("pselect");
    real_openat = next_symbol("openat");
    real_stat = next_symbol("stat");
    real_lstat = next_symbol("lstat");
    real_fstat = next_symbol("fstat");
    real_fstatat = next_symbol("fstatat");
    real_xstat = next_symbol("__xstat");
    real_lxstat = next_symbol("__lxstat");
    real_fxstat = next_symbol("__fxstat");
    real_fxstatat = next_symbol("__fxstatat");
    real_access = next_symbol("access");
    real_opendir = next_symbol("opendir");
    real_readdir = next_symbol("readdir");
    real_readdir64 = next_symbol("readdir64");
    real_closedir = next_symbol("closedir");
    real_syscall = next_symbol("syscall");
    read_startup_env();

    const char *text = config_env("FAKECAM_LOG");
    if (text && *text) {
        int fd = real_open(text, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) config.log = fdopen(fd, "a");
    }
    config.log_all = config_env("FAKECAM_LOG_ALL") != NULL;
    text = config_env("FAKECAM_NODES");
    config.nodes = text ? atoi(text) : 1;
    if (config.nodes < 0) config.nodes = 0;
    if (config.nodes > MAX_NODES) config.nodes = MAX_NODES;
    text = config_env("FAKECAM_CARD");
    snprintf(config.card, sizeof config.card, "%s", text ? text : "Lumivex Fakecam");

    char list[256];
    text = config_env("FAKECAM_FORMATS");
    snprintf(list, sizeof list, "%s", text ? text : "YUYV,MJPG");
    for (char *save = NULL, *item = strtok_r(list, ",", &save); item; item = strtok_r(NULL, ",", &save)) {
        const struct format *f = format_named(item);
        if (f && config.format_count < MAX_FORMATS) config.formats[config.format_count++] = f;
        if (!f) logf_("fakecam: unknown format %s", item);
    }
    text = config_env("FAKECAM_SIZES");
    snprintf(list, sizeof list, "%s", text ? text : "640x480,320x240,160x120");
    for (char *save = NULL, *item = strtok_r(list, ",", &save); item; item = strtok_r(NULL, ",", &save)) {
        int w = 0, h = 0;
        if (sscanf(item, "%dx%d", &w, &h) == 2 && w > 0 && h > 0 && config.size_count < MAX_SIZES) {
            config.widths[config.size_count] = w & ~1;
            config.heights[config.size_count] = h;
            ++config.size_count;
        }
    }
    text = config_env("FAKECAM_FPS");
    config.fps = text ? atof(text) : 30.0;
    if (config.fps <= 0) config.fps = 30.0;
    text = config_env("FAKECAM_FAULT");
    snprintf(list, sizeof list, "%s", text ? text : "");
    for (char *save = NULL, *item = strtok_r(list, ",", &save); item; item = strtok_r(NULL, ",", &save)) {
        if (!strcmp(item, "eacces"))
            config.fault_eacces = 1;
        else if (!strcmp(item, "fmt-busy"))
            config.fault_fmt_busy = 1;
        else if (!strcmp(item, "stream-busy"))
            config.fault_stream_busy = 1;
        else if (!strcmp(item, "unplug"))
            config.fault_unplug = 1;
        else if (!strcmp(item, "stall"))
            config.fault_stall = 1;
        else if (!strcmp(item, "slow"))
            config.fps = 5.0, config.fault_slow = 1;
        else if (!strcmp(item, "size-change"))
            config.fault_size_change = 1;
        else if (!strcmp(item, "eio"))
            config.fault_dequeue_eio = 1;
        else
            logf_("fakecam: unknown fault %s", item);
    }
    setup_rates();
    setup_mplane();
    text = config_env("FAKECAM_UNPLUG_AFTER");
    config.unplug_after = text ? atof(text) : 1.0;
    text = config_env("FAKECAM_REPLUG_AFTER");
    config.replug_after = text ? atof(text) : 0.0;
    text = config_env("FAKECAM_UNPLUGS");
    config.unplugs = text ? atoi(text) : 1;
    for (int i = 0; i < config.nodes; ++i) nodes[i].present = 1;
    logf_("fakecam: %d node(s), %d format(s), %d size(s), %.1f fps", config.nodes, config.format_count,
          config.size_count, config.fps);
}

static void init(void) { pthread_once(&once, setup); }

/* Moves every node along its unplug schedule; under the lock. */
static void update_nodes(void) {
    double t = now();
    for (int i = 0; i < config.nodes; ++i) {
        struct node *n = &nodes[i];
        if (n->present && n->unplug_at > 0 && t >= n->unplug_at) {
            n->present = 0;
            n->generation++;
            n->unplug_at = 0;
            n->streamed = 0;
            n->unplugs++;
            n->replug_at = config.replug_after > 0 ? t + config.replug_after : 0;
            logf_("fakecam: video%d unplugged", i);
        } else if (!n->present && n->replug_at > 0 && t >= n->replug_at) {
            n->present = 1;
            n->replug_at = 0;
            fakecam_control_reset(i);
            logf_("fakecam: video%d is back", i);
        }
    }
}

/* The node number of a path "/dev/videoN" that we emulate, or -1. */
static int node_of_path(const char *path) {
    if (!path || strncmp(path, "/dev/video", 10) != 0) return -1;
    const char *p = path + 10;
    if (*p < '0' || *p > '9') return -1;
    char *end;
    long n = strtol(p, &end, 10);
    if (*end != '\0' || n >= config.nodes) return -1;
    return (int)n;
}

static struct handle *handle_of(int fd) {
    if (fd < 0 || fd >= MAX_FDS) return NULL;
    return handles[fd];
}

static int dead(const struct handle *h) {
    update_nodes();
    return !nodes[h->node].present || nodes[h->node].generation != h->generation;
}

static void fill_stat(int node, struct stat *st) {
    memset(st, 0, sizeof *st);
    st->st_mode = S_IFCHR | 0660;
    st->st_rdev = makedev(VIDEO_MAJOR, node);
    st->st_dev = makedev(0, 5);
    st->st_ino = 1000 + (ino_t)node;
    st->st_nlink = 1;
    st->st_uid = 0;
    st->st_gid = VIDEO_GID;
    st->st_blksize = 4096;
}

/* ---- formats and frames --------------------------------------------------------------------- */

/* The one buffer type a node takes; the other is refused, as a driver
 * refuses it. */
static uint32_t buf_type(const struct handle *h) {
    return h->mplane ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE;
}

static size_t page_round(size_t bytes) {
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    return (bytes + page - 1) / page * page;
}

/* The index-th format a node offers: formats of more than one plane only
 * on a multi-planar node. NULL past the last. */
static const struct format *node_format(int node, int index) {
    for (int i = 0; i < config.format_count; ++i) {
        const struct format *f = config.formats[i];
        if (f->planes > 1 && !(config.mplane >> node & 1)) continue;
        if (index-- == 0) return f;
    }
    return NULL;
}

static const struct format *offered(const struct handle *h, uint32_t fourcc) {
    const struct format *f;
    for (int i = 0; (f = node_format(h->node, i)); ++i) {
        if (f->fourcc == fourcc) return f;
    }
    return NULL;
}

static int size_offered(int w, int h) {
    for (int i = 0; i < config.size_count; ++i) {
        if (config.widths[i] == w && config.heights[i] == h) return 1;
    }
    return 0;
}

static int nearest_size(int w, int h) {
    int best = 0;
    long best_distance = -1;
    for (int i = 0; i < config.size_count; ++i) {
        long d = labs((long)config.widths[i] - w) + labs((long)config.heights[i] - h);
        if (best_distance < 0 || d < best_distance) best = i, best_distance = d;
    }
    return best;
}

/* Bytes of one uncompressed frame (0 for compressed formats). */
static double frame_bytes(const struct format *f, int w, int h) {
    if (f->compressed) return 0;
    if (f->fourcc == V4L2_PIX_FMT_YUYV) return 2.0 * w * h;
    if (f->fourcc == V4L2_PIX_FMT_NV12 || f->fourcc == V4L2_PIX_FMT_NV12M) return 1.5 * w * h;
    return 3.0 * w * h;
}

/* The rates offered for a format and size, highest first: those that fit the
 * bandwidth, and at least the lowest. The number of them. */
static int rates_for(const struct format *f, int w, int h, double *out) {
    double bytes = frame_bytes(f, w, h);
    int n = 0;
    for (int i = 0; i < config.rate_count; ++i) {
        if (config.bandwidth > 0 && bytes * config.rates[i] > config.bandwidth) continue;
        out[n++] = config.rates[i];
    }
    if (n == 0) out[n++] = config.rates[config.rate_count - 1];
    return n;
}

/* VIDIOC_ENUM_FRAMEINTERVALS: the index-th offered rate. */
static int enum_intervals(const struct handle *h, struct v4l2_frmivalenum *e) {
    const struct format *f = offered(h, e->pixel_format);
    if (!f || !size_offered((int)e->width, (int)e->height)) return EINVAL;
    double rates[MAX_RATES];
    int n = rates_for(f, (int)e->width, (int)e->height, rates);
    if (e->index >= (uint32_t)n) return EINVAL;
    e->type = V4L2_FRMIVAL_TYPE_DISCRETE;
    e->discrete.numerator = 1000;
    e->discrete.denominator = (uint32_t)(rates[e->index] * 1000 + 0.5);
    return 0;
}

/* VIDIOC_G_PARM and VIDIOC_S_PARM: S_PARM takes the offered rate nearest to
 * the interval asked for (none asked: the highest). */
static int stream_parm(struct handle *h, unsigned long request, struct v4l2_streamparm *p) {
    if (p->type != buf_type(h)) return EINVAL;
    if (request == VIDIOC_S_PARM) {
        double rates[MAX_RATES];
        int n = rates_for(h->format, h->width, h->height, rates);
        const struct v4l2_fract *t = &p->parm.capture.timeperframe;
        double wanted = t->numerator && t->denominator ? (double)t->denominator / t->numerator : rates[0];
        double best = rates[0];
        for (int i = 1; i < n; ++i) {
            if (fabs(rates[i] - wanted) < fabs(best - wanted)) best = rates[i];
        }
        h->fps = best;
        logf_("S_PARM: %.2f fps", best);
    }
    memset(&p->parm, 0, sizeof p->parm);
    p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
    p->parm.capture.timeperframe.numerator = 1000;
    p->parm.capture.timeperframe.denominator = (uint32_t)(h->fps * 1000 + 0.5);
    p->parm.capture.readbuffers = 2;
    return 0;
}

static void describe(struct v4l2_pix_format *pix, const struct format *f, int w, int h) {
    memset(pix, 0, sizeof *pix);
    pix->width = (uint32_t)w;
    pix->height = (uint32_t)h;
    pix->pixelformat = f->fourcc;
    pix->field = V4L2_FIELD_NONE;
    pix->colorspace = V4L2_COLORSPACE_SRGB;
    switch (f->fourcc) {
        case V4L2_PIX_FMT_YUYV:
            pix->bytesperline = (uint32_t)w * 2;
            pix->sizeimage = pix->bytesperline * (uint32_t)h;
            pix->quantization =
                config.yuv_limited ? V4L2_QUANTIZATION_LIM_RANGE : V4L2_QUANTIZATION_FULL_RANGE;
            break;
        case V4L2_PIX_FMT_NV12:
            pix->bytesperline = (uint32_t)w;
            pix->sizeimage = (uint32_t)w * (uint32_t)h + (uint32_t)w * (uint32_t)((h + 1) / 2);
            pix->quantization =
                config.yuv_limited ? V4L2_QUANTIZATION_LIM_RANGE : V4L2_QUANTIZATION_FULL_RANGE;
            break;
        case V4L2_PIX_FMT_MJPEG:
        case V4L2_PIX_FMT_H264:
            pix->bytesperline = 0;
            pix->sizeimage = (uint32_t)w * (uint32_t)h * 3 / 2 + 4096;
            pix->colorspace = V4L2_COLORSPACE_JPEG;
            break;
        default:
            pix->bytesperline = (uint32_t)w * 3;
            pix->sizeimage = pix->bytesperline * (uint32_t)h;
    }
}

/* The same on a multi-planar node: NV12M's luma and chroma in planes of
 * their own, every other format in one plane. */
static void describe_mp(struct v4l2_pix_format_mplane *mp, const struct format *f, int w, int h) {
    struct v4l2_pix_format pix;
    describe(&pix, f->fourcc == V4L2_PIX_FMT_NV12M ? format_named("NV12") : f, w, h);
    memset(mp, 0, sizeof *mp);
    mp->width = pix.width;
    mp->height = pix.height;
    mp->pixelformat = f->fourcc;
    mp->field = pix.field;
    mp->colorspace = pix.colorspace;
    mp->quantization = pix.quantization;
    mp->num_planes = (uint8_t)f->planes;
    mp->plane_fmt[0].bytesperline = pix.bytesperline;
    mp->plane_fmt[0].sizeimage = pix.sizeimage;
    if (f->fourcc == V4L2_PIX_FMT_NV12M) {
        mp->plane_fmt[0].sizeimage = (uint32_t)w * (uint32_t)h;
        mp->plane_fmt[1].bytesperline = (uint32_t)w;
        mp->plane_fmt[1].sizeimage = (uint32_t)w * (uint32_t)((h + 1) / 2);
    }
}

static void set_format(struct handle *h, const struct format *f, int w, int h_) {
    struct v4l2_pix_format_mplane mp;
    describe_mp(&mp, f, w, h_);
    h->format = f;
    h->width = w;
    h->height = h_;
    h->bytesperline = mp.plane_fmt[0].bytesperline;
    h->plane_size[0] = mp.plane_fmt[0].sizeimage;
    h->plane_size[1] = f->planes > 1 ? mp.plane_fmt[1].sizeimage : 0;
    h->plane_offset[0] = 0;
    h->plane_offset[1] = page_round(h->plane_size[0]);
    h->sizeimage = h->plane_size[0] + h->plane_size[1];
    double rates[MAX_RATES];
    rates_for(f, w, h_, rates);
    h->fps = rates[0];
    free(h->scratch);
    h->scratch = NULL;
}

static uint8_t clamp(double v) { return v < 0 ? 0 : v > 255 ? 255 : (uint8_t)(v + 0.5); }

/* BT.601 of a BGR pixel, in full range or (FAKECAM_YUV_RANGE=limited) in
 * limited range. */
static double luma(const uint8_t *s) {
    double y = 0.299 * s[2] + 0.587 * s[1] + 0.114 * s[0];
    return config.yuv_limited ? 16 + y * 219.0 / 255.0 : y;
}
static double chroma(double difference, double scale) {
    return 128 + scale * difference * (config.yuv_limited ? 224.0 / 255.0 : 1.0);
}

/* YUYV, chroma of each pixel pair averaged. */
static void render_yuyv(const struct handle *h, const uint8_t *bgr, uint8_t *out) {
    const size_t row = (size_t)h->width * 3;
    for (int y = 0; y < h->height; ++y) {
        const uint8_t *s = bgr + row * (size_t)y;
        uint8_t *d = out + (size_t)h->bytesperline * (size_t)y;
        for (int x = 0; x < h->width; x += 2, s += 6, d += 4) {
            double b = (s[0] + s[3]) / 2.0, g = (s[1] + s[4]) / 2.0, r = (s[2] + s[5]) / 2.0;
            double yy = 0.299 * r + 0.587 * g + 0.114 * b;
            d[0] = clamp(luma(s));
            d[1] = clamp(chroma(b - yy, 0.564));
            d[2] = clamp(luma(s + 3));
            d[3] = clamp(chroma(r - yy, 0.713));
        }
    }
}

/* NV12: the luma plane, then (at `uv`) Cb Cr pairs each averaged over 2 x 2
 * pixels. */
static void render_nv12(const struct handle *h, const uint8_t *bgr, uint8_t *out, uint8_t *uv) {
    const size_t row = (size_t)h->width * 3, line = h->bytesperline;
    for (int y = 0; y < h->height; ++y) {
        const uint8_t *s = bgr + row * (size_t)y;
        for (int x = 0; x < h->width; ++x) out[line * (size_t)y + (size_t)x] = clamp(luma(s + 3 * x));
    }
    for (int y = 0; y < h->height; y += 2) {
        const uint8_t *a = bgr + row * (size_t)y;
        const uint8_t *b2 = y + 1 < h->height ? a + row : a;
        uint8_t *d = uv + line * (size_t)(y / 2);
        for (int x = 0; x < h->width; x += 2) {
            const int x1 = x + 1 < h->width ? x + 1 : x;
            double b = (a[3 * x] + a[3 * x1] + b2[3 * x] + b2[3 * x1]) / 4.0;
            double g = (a[3 * x + 1] + a[3 * x1 + 1] + b2[3 * x + 1] + b2[3 * x1 + 1]) / 4.0;
            double r = (a[3 * x + 2] + a[3 * x1 + 2] + b2[3 * x + 2] + b2[3 * x1 + 2]) / 4.0;
            double yy = 0.299 * r + 0.587 * g + 0.114 * b;
            d[x] = clamp(chroma(b - yy, 0.564));
            d[x + 1] = clamp(chroma(r - yy, 0.713));
        }
    }
}

/* Frame `n` into `out` (room for sizeimage bytes; a buffer's planes at their
 * offsets) in the handle's format; the number of bytes used (of the first
 * plane: the others are always full). */
static uint32_t render(struct handle *h, uint32_t n, uint8_t *out) {
    const int w = h->width, hh = h->height;
    const size_t row = (size_t)w * 3;
    if (!h->scratch) h->scratch = malloc(row * (size_t)hh);
    if (!h->scratch) return 0;
    uint8_t *bgr = h->scratch;
    fakecam_draw_bgr(bgr, row, w, hh, n);
    fakecam_control_apply(h->node, bgr, row, w, hh);
    switch (h->format->fourcc) {
        case V4L2_PIX_FMT_BGR24:
            memcpy(out, bgr, row * (size_t)hh);
            return (uint32_t)(row * (size_t)hh);
        case V4L2_PIX_FMT_RGB24:
            for (size_t i = 0; i < row * (size_t)hh; i += 3) {
                out[i] = bgr[i + 2];
                out[i + 1] = bgr[i + 1];
                out[i + 2] = bgr[i];
            }
            return (uint32_t)(row * (size_t)hh);
        case V4L2_PIX_FMT_YUYV:
            render_yuyv(h, bgr, out);
            return h->bytesperline * (uint32_t)hh;
        case V4L2_PIX_FMT_NV12:
            render_nv12(h, bgr, out, out + (size_t)h->bytesperline * (size_t)hh);
            return h->sizeimage;
        case V4L2_PIX_FMT_NV12M:
            render_nv12(h, bgr, out, out + h->plane_offset[1]);
            return h->plane_size[0];
        case V4L2_PIX_FMT_MJPEG: {
            struct jpeg_compress_struct c;
            struct jpeg_error_mgr error;
            unsigned char *mem = out;
            unsigned long size = h->sizeimage;
            c.err = jpeg_std_error(&error);
            jpeg_create_compress(&c);
            jpeg_mem_dest(&c, &mem, &size);
            c.image_width = (JDIMENSION)w;
            c.image_height = (JDIMENSION)hh;
            c.input_components = 3;
            c.in_color_space = JCS_EXT_BGR;
            jpeg_set_defaults(&c);
            jpeg_set_quality(&c, 90, TRUE);
            jpeg_start_compress(&c, TRUE);
            while (c.next_scanline < c.image_height) {
                JSAMPROW line = bgr + row * c.next_scanline;
                jpeg_write_scanlines(&c, &line, 1);
            }
            jpeg_finish_compress(&c);
            jpeg_destroy_compress(&c);
            if (mem != out) {
                /* Did not fit: libjpeg made its own buffer. */
                size_t fit = size < h->sizeimage ? size : h->sizeimage;
                memcpy(out, mem, fit);
                free(mem);
                size = fit;
            }
            return (uint32_t)size;
        }
        default: {
            /* Bytes no converter understands. */
            uint32_t x = n * 2654435761u + 1;
            uint32_t length = h->sizeimage / 2;
            for (uint32_t i = 0; i < length; ++i) {
                x = x * 1103515245u + 12345u;
                out[i] = (uint8_t)(x >> 24);
            }
            return length;
        }
    }
}

static double thread_seconds(void) {
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* render(), its processor time counted: the emulation's own cost, which a
 * measurement of its caller leaves out (logged every 30 frames). */
static uint32_t timed_render(struct handle *h, uint32_t n, uint8_t *out) {
    double start = thread_seconds();
    uint32_t bytes = render(h, n, out);
    config.render_seconds += thread_seconds() - start;
    if (++config.rendered % 30 == 0)
        logf_("fakecam: frames drawn so far: %ld in %.3f s of processor time", config.rendered,
              config.render_seconds);
    return bytes;
}

/* The sequence number of the newest frame due now, or -1. */
static long due_frame(const struct handle *h) {
    if (config.fault_stall) return -1;
    double elapsed = now() - h->started;
    if (elapsed < 0) return -1;
    return (long)(elapsed * h->fps);
}

static double next_due_time(const struct handle *h) {
    return h->started + (double)(h->delivered + 1) / h->fps;
}

/* When the readiness of h next changes with time alone: its next frame
 * falls due (while a buffer waits for it, or read() streams) or its node
 * unplugs; 0 for never. Under the lock. */
static double next_change(const struct handle *h) {
    double t = nodes[h->node].unplug_at;
    if (!config.fault_stall && (h->reading || (h->streaming && h->queue_length > 0))) {
        double due = next_due_time(h);
        if (t <= 0 || due < t) t = due;
    }
    return t;
}

/* A frame can be dequeued (streaming) or read now. */
static int frame_ready(const struct handle *h) {
    if (h->streaming) return h->queue_length > 0 && due_frame(h) > h->delivered;
    if (h->reading) return due_frame(h) > h->delivered;
    return 0;
}

/* The frame clock starts; the first time on a node since it appeared, so
 * does the unplug clock, while the node has unplugs left. Under the lock. */
static void start_clock(struct handle *h) {
    h->started = now();
    h->delivered = -1;
    struct node *n = &nodes[h->node];
    if (config.fault_unplug && !n->streamed && n->unplugs < config.unplugs)
        n->unplug_at = now() + config.unplug_after;
    n->streamed = 1;
}

static void start_reading(struct handle *h) {
    h->reading = 1;
    start_clock(h);
}

/* ---- buffers ------------------------------------------------------------------------------------- */

static void free_buffers(struct handle *h) {
    if (h->memory) munmap(h->memory, h->buffer_stride * (size_t)h->buffer_count);
    if (h->memfd >= 0) real_close(h->memfd);
    h->memory = NULL;
    h->memfd = -1;
    h->buffer_count = 0;
    h->queue_length = 0;
}

static int alloc_buffers(struct handle *h, int count) {
    const int last = h->format->planes - 1;
    size_t stride = page_round(h->plane_offset[last] + h->plane_size[last]);
    int fd = memfd_create("fakecam", MFD_CLOEXEC);
    if (fd < 0) return -1;
    if (ftruncate(fd, (off_t)(stride * (size_t)count)) != 0) {
        real_close(fd);
        return -1;
    }
    void *memory = real_mmap(NULL, stride * (size_t)count, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) {
        real_close(fd);
        return -1;
    }
    h->memfd = fd;
    h->memory = memory;
    h->buffer_stride = stride;
    h->buffer_count = count;
    memset(h->buffers, 0, sizeof h->buffers);
    h->queue_length = 0;
    return 0;
}

/* Whether a multi-planar buffer's plane array has room for every plane
 * (EINVAL if not, EFAULT without one; 0 when it has, or on a single-plane node). */
static int plane_array_error(const struct handle *h, const struct v4l2_buffer *b) {
    if (!h->mplane) return 0;
    if (b->length < (uint32_t)h->format->planes || b->length > VIDEO_MAX_PLANES) return EINVAL;
    return b->m.planes ? 0 : EFAULT;
}

static void describe_buffer(const struct handle *h, int i, struct v4l2_buffer *b) {
    const struct buffer *s = &h->buffers[i];
    uint32_t type = b->type;
    struct v4l2_plane *planes = h->mplane ? b->m.planes : NULL;
    memset(b, 0, sizeof *b);
    b->type = type;
    b->index = (uint32_t)i;
    b->memory = V4L2_MEMORY_MMAP;
    if (planes) {
        /* Each plane mapped at an offset of its own. */
        b->m.planes = planes;
        b->length = (uint32_t)h->format->planes;
        for (int p = 0; p < h->format->planes; ++p) {
            memset(&planes[p], 0, sizeof planes[p]);
            planes[p].length = h->plane_size[p];
            planes[p].m.mem_offset = (uint32_t)(h->buffer_stride * (size_t)i + h->plane_offset[p]);
            planes[p].bytesused = p == 0 || !s->bytesused ? s->bytesused : h->plane_size[p];
        }
    } else {
        b->length = h->sizeimage;
        b->m.offset = (uint32_t)(h->buffer_stride * (size_t)i);
        b->bytesused = s->bytesused;
    }
    b->flags = V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    if (s->queued) b->flags |= V4L2_BUF_FLAG_QUEUED;
    if (s->done) b->flags |= V4L2_BUF_FLAG_DONE;
    b->sequence = s->sequence;
    b->timestamp = s->stamp;
    b->field = V4L2_FIELD_NONE;
}

/* Takes the next due frame into the oldest queued buffer; under the lock. */
static int dequeue(struct handle *h, struct v4l2_buffer *b) {
    long n = due_frame(h);
    int i = h->queue[0];
    memmove(h->queue, h->queue + 1, sizeof(int) * (size_t)(h->queue_length - 1));
    h->queue_length--;
    struct buffer *s = &h->buffers[i];
    s->queued = 0;
    s->done = 0;
    s->sequence = (uint32_t)n;
    s->bytesused = timed_render(h, (uint32_t)n, h->memory + h->buffer_stride * (size_t)i);
    /* Stamped when a camera would have had it: when it fell due, not when
     * the emulation drew it. */
    double due = h->started + (double)n / h->fps;
    s->stamp.tv_sec = (time_t)due;
    s->stamp.tv_usec = (suseconds_t)((due - (double)(time_t)due) * 1e6);
    h->delivered = n;
    describe_buffer(h, i, b);
    return 0;
}

/* ---- the calls -------------------------------------------------------------------------------------- */

static int fail(int e) {
    errno = e;
    return -1;
}

static int fake_open(int node, int flags) {
    pthread_mutex_lock(&lock);
    update_nodes();
    int present = nodes[node].present;
    int generation = nodes[node].generation;
    pthread_mutex_unlock(&lock);
    if (!present) {
        logf_("open video%d: ENOENT (unplugged)", node);
        return fail(ENOENT);
    }
    if (config.fault_eacces) {
        logf_("open video%d: EACCES", node);
        return fail(EACCES);
    }
    int fd = real_open("/dev/null", O_RDWR | (flags & O_CLOEXEC));
    if (fd < 0) return -1;
    if (fd >= MAX_FDS) {
        real_close(fd);
        return fail(EMFILE);
    }
    struct handle *h = calloc(1, sizeof *h);
    if (!h) {
        real_close(fd);
        return fail(ENOMEM);
    }
    h->node = node;
    h->generation = generation;
    h->nonblocking = (flags & O_NONBLOCK) != 0;
    h->memfd = -1;
    h->delivered = -1;
    h->mplane = config.mplane >> node & 1;
    const struct format *first = node_format(node, 0);
    set_format(h, first ? first : &known_formats[0], config.widths[0], config.heights[0]);
    pthread_mutex_lock(&lock);
    handles[fd] = h;
    pthread_mutex_unlock(&lock);
    logf_("open video%d: fd %d%s", node, fd, h->nonblocking ? " nonblocking" : "");
    return fd;
}

static int fake_close(int fd) {
    pthread_mutex_lock(&lock);
    struct handle *h = handles[fd];
    handles[fd] = NULL;
    pthread_mutex_unlock(&lock);
    free_buffers(h);
    free(h->scratch);
    free(h);
    logf_("close fd %d", fd);
    return real_close(fd);
}

static const struct {
    unsigned long request;
    const char *name;
} request_names[] = {
    {VIDIOC_QUERYCAP, "VIDIOC_QUERYCAP"},
    {VIDIOC_ENUM_FMT, "VIDIOC_ENUM_FMT"},
    {VIDIOC_ENUM_FRAMESIZES, "VIDIOC_ENUM_FRAMESIZES"},
    {VIDIOC_ENUM_FRAMEINTERVALS, "VIDIOC_ENUM_FRAMEINTERVALS"},
    {VIDIOC_G_FMT, "VIDIOC_G_FMT"},
    {VIDIOC_S_FMT, "VIDIOC_S_FMT"},
    {VIDIOC_TRY_FMT, "VIDIOC_TRY_FMT"},
    {VIDIOC_G_PARM, "VIDIOC_G_PARM"},
    {VIDIOC_S_PARM, "VIDIOC_S_PARM"},
    {VIDIOC_REQBUFS, "VIDIOC_REQBUFS"},
    {VIDIOC_QUERYBUF, "VIDIOC_QUERYBUF"},
    {VIDIOC_QBUF, "VIDIOC_QBUF"},
    {VIDIOC_DQBUF, "VIDIOC_DQBUF"},
    {VIDIOC_STREAMON, "VIDIOC_STREAMON"},
    {VIDIOC_STREAMOFF, "VIDIOC_STREAMOFF"},
    {VIDIOC_ENUMINPUT, "VIDIOC_ENUMINPUT"},
    {VIDIOC_G_INPUT, "VIDIOC_G_INPUT"},
    {VIDIOC_S_INPUT, "VIDIOC_S_INPUT"},
    {VIDIOC_QUERYCTRL, "VIDIOC_QUERYCTRL"},
    {VIDIOC_G_CTRL, "VIDIOC_G_CTRL"},
    {VIDIOC_S_CTRL, "VIDIOC_S_CTRL"},
    {VIDIOC_QUERY_EXT_CTRL, "VIDIOC_QUERY_EXT_CTRL"},
    {VIDIOC_G_EXT_CTRLS, "VIDIOC_G_EXT_CTRLS"},
    {VIDIOC_S_EXT_CTRLS, "VIDIOC_S_EXT_CTRLS"},
    {VIDIOC_TRY_EXT_CTRLS, "VIDIOC_TRY_EXT_CTRLS"},
    {VIDIOC_QUERYMENU, "VIDIOC_QUERYMENU"},
};

static const char *request_name(unsigned long request) {
    for (size_t i = 0; i < sizeof request_names / sizeof request_names[0]; ++i) {
        if (request_names[i].request == request) return request_names[i].name;
    }
    return NULL;
}

static int sleep_until(double t) {
    double d = t - now();
    if (d <= 0) return 0;
    struct timespec ts = {(time_t)d, (long)((d - (double)(time_t)d) * 1e9)};
    return nanosleep(&ts, NULL);
}

/* The eio fault: a streaming handle looks readable with an error pending,
 * and every dequeue fails with EIO, as a camera whose transfers all fail. */
static int dequeue_fault(const struct handle *h) {
    return config.fault_dequeue_eio && h->streaming ? EIO : 0;
}

/* Waits (outside the lock) for a frame on a blocking handle; 0 when one is
 * ready, else an errno. Under the lock on entry and exit. */
static int wait_frame(struct handle *h) {
    for (;;) {
        if (dead(h)) return ENODEV;
        if (frame_ready(h)) return 0;
        if (h->nonblocking) return EAGAIN;
        double until = next_due_time(h);
        if (config.fault_stall || until - now() > 0.02) until = now() + 0.02;
        pthread_mutex_unlock(&lock);
        sleep_until(until);
        pthread_mutex_lock(&lock);
    }
}

static int answer(struct handle *h, unsigned long request, void *arg) {
    if (dead(h)) return ENODEV;
    switch (request) {
        case VIDIOC_QUERYCAP: {
            struct v4l2_capability *cap = arg;
            memset(cap, 0, sizeof *cap);
            snprintf((char *)cap->driver, sizeof cap->driver, "fakecam");
            if (h->node == 0)
                snprintf((char *)cap->card, sizeof cap->card, "%s", config.card);
            else
                snprintf((char *)cap->card, sizeof cap->card, "%.28s %d", config.card, h->node);
            snprintf((char *)cap->bus_info, sizeof cap->bus_info, "platform:fakecam-%d", h->node);
            cap->version = 0x060100;
            cap->device_caps = h->mplane ? V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING
                                         : V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE | V4L2_CAP_STREAMING;
            cap->capabilities = cap->device_caps | V4L2_CAP_DEVICE_CAPS;
            return 0;
        }
        case VIDIOC_ENUM_FMT: {
            struct v4l2_fmtdesc *d = arg;
            const struct format *f = d->index < MAX_FORMATS ? node_format(h->node, (int)d->index) : NULL;
            if (d->type != buf_type(h) || !f) return EINVAL;
            uint32_t index = d->index, type = d->type;
            memset(d, 0, sizeof *d);
            d->index = index;
            d->type = type;
            d->pixelformat = f->fourcc;
            d->flags = f->compressed ? V4L2_FMT_FLAG_COMPRESSED : 0;
            snprintf((char *)d->description, sizeof d->description, "%s", f->name);
            return 0;
        }
        case VIDIOC_ENUM_FRAMESIZES: {
            struct v4l2_frmsizeenum *s = arg;
            if (!offered(h, s->pixel_format) || s->index >= (uint32_t)config.size_count) return EINVAL;
            s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
            s->discrete.width = (uint32_t)config.widths[s->index];
            s->discrete.height = (uint32_t)config.heights[s->index];
            return 0;
        }
        case VIDIOC_ENUM_FRAMEINTERVALS:
            return enum_intervals(h, arg);
        case VIDIOC_G_FMT: {
            struct v4l2_format *f = arg;
            if (f->type != buf_type(h)) return EINVAL;
            if (h->mplane) {
                describe_mp(&f->fmt.pix_mp, h->format, h->width, h->height);
                return 0;
            }
            describe(&f->fmt.pix, h->format, h->width, h->height);
            f->fmt.pix.bytesperline = h->bytesperline;
            f->fmt.pix.sizeimage = h->sizeimage;
            return 0;
        }
        case VIDIOC_TRY_FMT:
        case VIDIOC_S_FMT: {
            struct v4l2_format *f = arg;
            if (f->type != buf_type(h)) return EINVAL;
            if (request == VIDIOC_S_FMT && (config.fault_fmt_busy || h->buffer_count > 0 || h->streaming))
                return EBUSY;
            /* The two structures begin alike: width, height, pixelformat. */
            const struct format *format = offered(h, f->fmt.pix.pixelformat);
            if (!format) format = node_format(h->node, 0);
            if (!format) format = h->format;
            int i = nearest_size((int)f->fmt.pix.width, (int)f->fmt.pix.height);
            if (request == VIDIOC_S_FMT && config.fault_size_change && !h->resized) {
                i = (i + 1) % config.size_count;
                h->resized = 1;
            }
            if (h->mplane)
                describe_mp(&f->fmt.pix_mp, format, config.widths[i], config.heights[i]);
            else
                describe(&f->fmt.pix, format, config.widths[i], config.heights[i]);
            if (request == VIDIOC_S_FMT) set_format(h, format, config.widths[i], config.heights[i]);
            return 0;
        }
        case VIDIOC_G_PARM:
        case VIDIOC_S_PARM:
            return stream_parm(h, request, arg);
        case VIDIOC_ENUMINPUT: {
            struct v4l2_input *in = arg;
            if (in->index != 0) return EINVAL;
            memset(in, 0, sizeof *in);
            snprintf((char *)in->name, sizeof in->name, "Camera 1");
            in->type = V4L2_INPUT_TYPE_CAMERA;
            return 0;
        }
        case VIDIOC_G_INPUT:
            *(int *)arg = 0;
            return 0;
        case VIDIOC_S_INPUT:
            return *(int *)arg == 0 ? 0 : EINVAL;
        case VIDIOC_REQBUFS: {
            struct v4l2_requestbuffers *r = arg;
            if (r->type != buf_type(h) || r->memory != V4L2_MEMORY_MMAP) return EINVAL;
            if (h->streaming || h->reading) return EBUSY;
            free_buffers(h);
            uint32_t count = r->count;
            memset(r->reserved, 0, sizeof r->reserved);
#ifdef V4L2_BUF_CAP_SUPPORTS_MMAP
            r->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
#endif
            if (count == 0) return 0;
            if (count < 2) count = 2;
            if (count > MAX_BUFFERS) count = MAX_BUFFERS;
            if (alloc_buffers(h, (int)count) != 0) return ENOMEM;
            r->count = count;
            return 0;
        }
        case VIDIOC_QUERYBUF: {
            struct v4l2_buffer *b = arg;
            if (b->type != buf_type(h) || b->index >= (uint32_t)h->buffer_count) return EINVAL;
            if (plane_array_error(h, b)) return plane_array_error(h, b);
            describe_buffer(h, (int)b->index, b);
            return 0;
        }
        case VIDIOC_QBUF: {
            struct v4l2_buffer *b = arg;
            if (b->type != buf_type(h) || b->memory != V4L2_MEMORY_MMAP ||
                b->index >= (uint32_t)h->buffer_count || h->buffers[b->index].queued)
                return EINVAL;
            if (plane_array_error(h, b)) return plane_array_error(h, b);
            h->buffers[b->index].queued = 1;
            h->buffers[b->index].done = 0;
            h->queue[h->queue_length++] = (int)b->index;
            describe_buffer(h, (int)b->index, b);
            return 0;
        }
        case VIDIOC_DQBUF: {
            struct v4l2_buffer *b = arg;
            if (b->type != buf_type(h) || b->memory != V4L2_MEMORY_MMAP) return EINVAL;
            if (plane_array_error(h, b)) return plane_array_error(h, b);
            if (!h->streaming) return EINVAL;
            if (h->queue_length == 0) return h->nonblocking ? EAGAIN : EINVAL;
            if (dequeue_fault(h)) return dequeue_fault(h);
            int e = wait_frame(h);
            if (e) return e;
            return dequeue(h, b);
        }
        case VIDIOC_STREAMON: {
            if (*(uint32_t *)arg != buf_type(h) || h->buffer_count == 0) return EINVAL;
            if (config.fault_stream_busy) return EBUSY;
            if (!h->streaming) {
                h->streaming = 1;
                start_clock(h);
            }
            return 0;
        }
        case VIDIOC_STREAMOFF: {
            if (*(uint32_t *)arg != buf_type(h)) return EINVAL;
            h->streaming = 0;
            h->queue_length = 0;
            for (int i = 0; i < h->buffer_count; ++i) h->buffers[i].queued = h->buffers[i].done = 0;
            return 0;
        }
        case VIDIOC_QUERYCTRL:
        case VIDIOC_QUERY_EXT_CTRL:
        case VIDIOC_QUERYMENU:
        case VIDIOC_G_CTRL:
        case VIDIOC_S_CTRL:
        case VIDIOC_G_EXT_CTRLS:
        case VIDIOC_S_EXT_CTRLS:
        case VIDIOC_TRY_EXT_CTRLS:
            return fakecam_control_answer(h->node, request, arg);
        default:
            return ENOTTY;
    }
}

static int fake_ioctl(int fd, unsigned long request, void *arg) {
    /* The kernel takes the request as 32 bits: callers that pass it as an
     * int (Wine does) sign-extend it. */
    request &= 0xFFFFFFFFUL;
    pthread_mutex_lock(&lock);
    struct handle *h = handles[fd];
    int e = h ? answer(h, request, arg) : EBADF;
    pthread_mutex_unlock(&lock);
    if (config.log && (config.log_all || (request != VIDIOC_DQBUF && request != VIDIOC_QBUF))) {
        const char *name = request_name(request);
        if (name)
            logf_("ioctl fd %d %s: %s", fd, name, e ? strerror(e) : "ok");
        else
            logf_("ioctl fd %d 0x%08lx: %s", fd, request, e ? strerror(e) : "ok");
    }
    if (e && e != EAGAIN && (request == VIDIOC_DQBUF || request == VIDIOC_QBUF))
        logf_("ioctl fd %d %s: %s", fd, request_name(request), strerror(e));
    return e ? fail(e) : 0;
}

static ssize_t fake_read(int fd, void *data, size_t count) {
    pthread_mutex_lock(&lock);
    struct handle *h = handles[fd];
    int e = 0;
    ssize_t result = -1;
    if (dead(h)) {
        e = ENODEV;
    } else if (h->mplane) {
        e = EINVAL; /* a multi-planar node streams only */
    } else if (h->buffer_count > 0 || h->streaming) {
        e = EBUSY;
    } else {
        if (!h->reading) start_reading(h);
        e = wait_frame(h);
        if (!e) {
            uint8_t *frame = malloc(h->sizeimage);
            if (!frame) {
                e = ENOMEM;
            } else {
                long n = due_frame(h);
                uint32_t used = render(h, (uint32_t)n, frame);
                h->delivered = n;
                result = (ssize_t)(count < used ? count : used);
                memcpy(data, frame, (size_t)result);
                free(frame);
            }
        }
    }
    pthread_mutex_unlock(&lock);
    logf_("read fd %d %zu: %zd%s%s", fd, count, result, e ? " " : "", e ? strerror(e) : "");
    if (e) return fail(e);
    return result;
}

/* Bytes that may be mapped from `at` into a buffer: to the end of the plane
 * that starts there; 0 if none does. */
static size_t plane_room(const struct handle *h, size_t at) {
    const int planes = h->format->planes;
    for (int p = 0; p < planes; ++p) {
        if (h->plane_offset[p] == at)
            return (p + 1 < planes ? h->plane_offset[p + 1] : h->buffer_stride) - at;
    }
    return 0;
}

static void *fake_mmap(void *start, size_t length, int prot, int flags, int fd, off_t offset) {
    pthread_mutex_lock(&lock);
    struct handle *h = handles[fd];
    int e = 0;
    void *result = MAP_FAILED;
    if (dead(h)) {
        e = ENODEV;
    } else if (!h->memory || offset < 0 || (size_t)offset / h->buffer_stride >= (size_t)h->buffer_count ||
               length > plane_room(h, (size_t)offset % h->buffer_stride)) {
        e = EINVAL;
    } else {
        result = real_mmap(start, length, prot, flags, h->memfd, offset);
        if (result == MAP_FAILED) e = errno;
    }
    pthread_mutex_unlock(&lock);
    logf_("mmap fd %d offset %ld length %zu: %s", fd, (long)offset, length, e ? strerror(e) : "ok");
    if (e) errno = e;
    return result;
}

/* Readiness of one emulated handle as poll reports it. */
static short fake_events(int fd, short wanted) {
    struct handle *h = handles[fd];
    if (!h) return POLLNVAL;
    if (dead(h)) return POLLERR | POLLHUP;
    if (!h->streaming && !h->reading && h->buffer_count == 0 && !h->mplane &&
        (wanted & (POLLIN | POLLRDNORM))) {
        /* poll starts read() streaming, as on a driver that can read */
        start_reading(h);
    }
    if (!h->streaming && !h->reading) return POLLERR;
    if (dequeue_fault(h)) return (short)(POLLERR | (wanted & (POLLIN | POLLRDNORM)));
    if (frame_ready(h)) return (short)(wanted & (POLLIN | POLLRDNORM));
    return 0;
}

/* poll() over a set with at least one emulated handle: the real descriptors
 * are polled in slices while the emulated ones are checked between them.
 * Each slice sleeps until an emulated handle next changes by itself (a frame
 * falls due, the node unplugs) or the timeout, and at most 20 ms, in which
 * another thread's call (QBUF, STREAMOFF) is seen. */
static int fake_poll(struct pollfd *fds, nfds_t n, int timeout_ms) {
    double end = timeout_ms < 0 ? -1 : now() + timeout_ms / 1000.0;
    struct pollfd local[64];
    struct pollfd *real = n <= 64 ? local : malloc(sizeof *real * n);
    if (!real) return fail(ENOMEM);
    int result;
    for (;;) {
        int ready = 0;
        double next = -1;
        pthread_mutex_lock(&lock);
        for (nfds_t i = 0; i < n; ++i) {
            struct handle *h = fds[i].fd >= 0 ? handle_of(fds[i].fd) : NULL;
            real[i] = fds[i];
            if (!h) continue;
            real[i].fd = -1;
            fds[i].revents = fake_events(fds[i].fd, fds[i].events);
            if (fds[i].revents) ++ready;
            double t = next_change(h);
            if (t > 0 && (next < 0 || t < next)) next = t;
        }
        pthread_mutex_unlock(&lock);
        double t = now();
        double until = t + 0.02;
        if (next > 0 && next < until) until = next;
        if (end >= 0 && end < until) until = end;
        int slice_ms = ready ? 0 : (int)((until - t) * 1000 + 0.999);
        /* A change due now that has not shown yet (rounding): a millisecond. */
        if (!ready && slice_ms <= 0 && (end < 0 || t < end)) slice_ms = 1;
        if (slice_ms < 0) slice_ms = 0;
        if (config.log_all) logf_("poll slice %d ms", slice_ms);
        int got = real_poll(real, n, slice_ms);
        if (got < 0) {
            result = -1;
            break;
        }
        for (nfds_t i = 0; i < n; ++i) {
            if (real[i].fd < 0) continue;
            fds[i].revents = real[i].revents;
            if (real[i].revents) ++ready;
        }
        if (ready || (end >= 0 && now() >= end)) {
            result = ready;
            break;
        }
    }
    if (real != local) free(real);
    return result;
}

static int any_fake(const struct pollfd *fds, nfds_t n) {
    for (nfds_t i = 0; i < n; ++i) {
        if (handle_of(fds[i].fd)) return 1;
    }
    return 0;
}

static int any_fake_set(int nfds, fd_set *r, fd_set *w, fd_set *x) {
    for (int fd = 0; fd < nfds && fd < FD_SETSIZE; ++fd) {
        if (handle_of(fd) && ((r && FD_ISSET(fd, r)) || (w && FD_ISSET(fd, w)) || (x && FD_ISSET(fd, x))))
            return 1;
    }
    return 0;
}

static int fake_select(int nfds, fd_set *r, fd_set *w, fd_set *x, int timeout_ms) {
    struct pollfd fds[FD_SETSIZE];
    nfds_t n = 0;
    for (int fd = 0; fd < nfds && fd < FD_SETSIZE; ++fd) {
        short events = 0;
        if (r && FD_ISSET(fd, r)) events |= POLLIN;
        if (w && FD_ISSET(fd, w)) events |= POLLOUT;
        if (x && FD_ISSET(fd, x)) events |= POLLPRI;
        if (events) fds[n++] = (struct pollfd){fd, events, 0};
    }
    int got = fake_poll(fds, n, timeout_ms);
    if (got < 0) return -1;
    if (r) FD_ZERO(r);
    if (w) FD_ZERO(w);
    if (x) FD_ZERO(x);
    int count = 0;
    for (nfds_t i = 0; i < n; ++i) {
        short e = fds[i].revents;
        if (r && (e & (POLLIN | POLLERR | POLLHUP))) FD_SET(fds[i].fd, r), ++count;
        if (w && (e & (POLLOUT | POLLERR))) FD_SET(fds[i].fd, w), ++count;
        if (x && (e & POLLPRI)) FD_SET(fds[i].fd, x), ++count;
    }
    return count;
}

/* ---- the interposed entry points --------------------------------------------------------------------- */

static int open_any(const char *path, int flags, mode_t mode) {
    init();
    int node = node_of_path(path);
    if (node >= 0) return fake_open(node, flags);
    return real_open(path, flags, mode);
}

static mode_t mode_arg(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(args, int) : 0;
}

EXPORT int open(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_arg(flags, args);
    va_end(args);
    return open_any(path, flags, mode);
}

EXPORT int open64(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_arg(flags, args);
    va_end(args);
    return open_any(path, flags, mode);
}

EXPORT int __open_2(const char *path, int flags) { return open_any(path, flags, 0); }
EXPORT int __open64_2(const char *path, int flags) { return open_any(path, flags, 0); }

static int openat_any(int dirfd, const char *path, int flags, mode_t mode) {
    init();
    int node = path && path[0] == '/' ? node_of_path(path) : -1;
    if (node >= 0) return fake_open(node, flags);
    return real_openat(dirfd, path, flags, mode);
}

EXPORT int openat(int dirfd, const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_arg(flags, args);
    va_end(args);
    return openat_any(dirfd, path, flags, mode);
}

EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_arg(flags, args);
    va_end(args);
    return openat_any(dirfd, path, flags, mode);
}

EXPORT int __openat_2(int dirfd, const char *path, int flags) { return openat_any(dirfd, path, flags, 0); }
EXPORT int __openat64_2(int dirfd, const char *path, int flags) { return openat_any(dirfd, path, flags, 0); }

EXPORT int close(int fd) {
    init();
    if (handle_of(fd)) return fake_close(fd);
    return real_close(fd);
}

EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    init();
    if (handle_of(fd)) return fake_ioctl(fd, request, arg);
    return real_ioctl(fd, request, arg);
}

EXPORT ssize_t read(int fd, void *data, size_t count) {
    init();
    if (handle_of(fd)) return fake_read(fd, data, count);
    return real_read(fd, data, count);
}

EXPORT void *mmap(void *start, size_t length, int prot, int flags, int fd, off_t offset) {
    init();
    if (!(flags & MAP_ANONYMOUS) && handle_of(fd)) return fake_mmap(start, length, prot, flags, fd, offset);
    return real_mmap(start, length, prot, flags, fd, offset);
}

EXPORT void *mmap64(void *start, size_t length, int prot, int flags, int fd, off_t offset) {
    return mmap(start, length, prot, flags, fd, offset);
}

EXPORT int poll(struct pollfd *fds, nfds_t n, int timeout_ms) {
    init();
    if (any_fake(fds, n)) return fake_poll(fds, n, timeout_ms);
    return real_poll(fds, n, timeout_ms);
}

static int timespec_ms(const struct timespec *t) {
    return t ? (int)(t->tv_sec * 1000 + (t->tv_nsec + 999999) / 1000000) : -1;
}

EXPORT int ppoll(struct pollfd *fds, nfds_t n, const struct timespec *timeout, const sigset_t *mask) {
    init();
    if (any_fake(fds, n)) return fake_poll(fds, n, timespec_ms(timeout));
    return real_ppoll(fds, n, timeout, mask);
}

EXPORT int select(int nfds, fd_set *r, fd_set *w, fd_set *x, struct timeval *timeout) {
    init();
    if (any_fake_set(nfds, r, w, x))
        return fake_select(nfds, r, w, x,
                           timeout ? (int)(timeout->tv_sec * 1000 + (timeout->tv_usec + 999) / 1000) : -1);
    return real_select(nfds, r, w, x, timeout);
}

EXPORT int pselect(int nfds, fd_set *r, fd_set *w, fd_set *x, const struct timespec *timeout,
                   const sigset_t *mask) {
    init();
    if (any_fake_set(nfds, r, w, x)) return fake_select(nfds, r, w, x, timespec_ms(timeout));
    return real_pselect(nfds, r, w, x, timeout, mask);
}

/* A path of ours: 1 and *st filled when the node is there, -1 with errno
 * ENOENT when it is unplugged, 0 when the path is not ours. */
static int stat_node(const char *path, struct stat *st) {
    init();
    int node = node_of_path(path);
    if (node < 0) return 0;
    pthread_mutex_lock(&lock);
    update_nodes();
    int present = nodes[node].present;
    pthread_mutex_unlock(&lock);
    logf_("stat %s: %s", path, present ? "character device" : "ENOENT");
    if (!present) {
        errno = ENOENT;
        return -1;
    }
    fill_stat(node, st);
    return 1;
}

static int stat_fd(int fd, struct stat *st) {
    init();
    struct handle *h = handle_of(fd);
    if (!h) return 0;
    fill_stat(h->node, st);
    return 1;
}

EXPORT int stat(const char *path, struct stat *st) {
    int r = stat_node(path, st);
    return r ? (r > 0 ? 0 : -1) : real_stat(path, st);
}
EXPORT int stat64(const char *path, struct stat64 *st) { return stat(path, (struct stat *)st); }
EXPORT int lstat(const char *path, struct stat *st) {
    int r = stat_node(path, st);
    return r ? (r > 0 ? 0 : -1) : real_lstat(path, st);
}
EXPORT int lstat64(const char *path, struct stat64 *st) { return lstat(path, (struct stat *)st); }
EXPORT int fstat(int fd, struct stat *st) { return stat_fd(fd, st) ? 0 : real_fstat(fd, st); }
EXPORT int fstat64(int fd, struct stat64 *st) { return fstat(fd, (struct stat *)st); }
EXPORT int fstatat(int dirfd, const char *path, struct stat *st, int flags) {
    if (path && path[0] == '\0' && (flags & AT_EMPTY_PATH) && stat_fd(dirfd, st)) return 0;
    int r = path && path[0] == '/' ? stat_node(path, st) : 0;
    return r ? (r > 0 ? 0 : -1) : real_fstatat(dirfd, path, st, flags);
}
EXPORT int fstatat64(int dirfd, const char *path, struct stat64 *st, int flags) {
    return fstatat(dirfd, path, (struct stat *)st, flags);
}
EXPORT int __xstat(int version, const char *path, struct stat *st) {
    int r = stat_node(path, st);
    return r ? (r > 0 ? 0 : -1) : real_xstat(version, path, st);
}
EXPORT int __xstat64(int version, const char *path, struct stat *st) { return __xstat(version, path, st); }
EXPORT int __lxstat(int version, const char *path, struct stat *st) {
    int r = stat_node(path, st);
    return r ? (r > 0 ? 0 : -1) : real_lxstat(version, path, st);
}
EXPORT int __lxstat64(int version, const char *path, struct stat *st) { return __lxstat(version, path, st); }
EXPORT int __fxstat(int version, int fd, struct stat *st) {
    return stat_fd(fd, st) ? 0 : real_fxstat(version, fd, st);
}
EXPORT int __fxstat64(int version, int fd, struct stat *st) { return __fxstat(version, fd, st); }
EXPORT int __fxstatat(int version, int dirfd, const char *path, struct stat *st, int flags) {
    int r = path && path[0] == '/' ? stat_node(path, st) : 0;
    return r ? (r > 0 ? 0 : -1) : real_fxstatat(version, dirfd, path, st, flags);
}
EXPORT int __fxstatat64(int version, int dirfd, const char *path, struct stat *st, int flags) {
    return __fxstatat(version, dirfd, path, st, flags);
}

EXPORT int access(const char *path, int mode) {
    struct stat st;
    int r = stat_node(path, &st);
    if (!r) return real_access(path, mode);
    if (r < 0) return -1;
    if (config.fault_eacces && (mode & (R_OK | W_OK))) return fail(EACCES);
    return 0;
}

/* Directory listings of /dev gain the nodes that are there now. */
EXPORT DIR *opendir(const char *path) {
    init();
    DIR *dir = real_opendir(path);
    if (dir && path && (!strcmp(path, "/dev") || !strcmp(path, "/dev/"))) {
        pthread_mutex_lock(&lock);
        for (size_t i = 0; i < sizeof dev_dirs / sizeof dev_dirs[0]; ++i) {
            if (!dev_dirs[i].dir) {
                dev_dirs[i].dir = dir;
                dev_dirs[i].next = 0;
                break;
            }
        }
        pthread_mutex_unlock(&lock);
    }
    return dir;
}

/* The index of our next entry for a /dev listing, or -1 when done or not ours. */
static int next_dev_entry(DIR *dir, int *slot) {
    int result = -1;
    pthread_mutex_lock(&lock);
    update_nodes();
    for (size_t i = 0; i < sizeof dev_dirs / sizeof dev_dirs[0]; ++i) {
        if (dev_dirs[i].dir != dir) continue;
        *slot = (int)i;
        while (dev_dirs[i].next < config.nodes && !nodes[dev_dirs[i].next].present) dev_dirs[i].next++;
        if (dev_dirs[i].next < config.nodes) result = dev_dirs[i].next++;
        break;
    }
    pthread_mutex_unlock(&lock);
    return result;
}

static int is_our_name(const char *name) {
    char path[300];
    snprintf(path, sizeof path, "/dev/%s", name);
    return node_of_path(path) >= 0;
}

EXPORT struct dirent *readdir(DIR *dir) {
    init();
    struct dirent *e;
    while ((e = real_readdir(dir)) && is_our_name(e->d_name)) {
    }
    if (e) return e;
    int slot, node = next_dev_entry(dir, &slot);
    if (node < 0) return NULL;
    struct dirent *d = &dev_dirs[slot].entry;
    memset(d, 0, sizeof *d);
    d->d_ino = 1000 + (ino_t)node;
    d->d_type = DT_CHR;
    d->d_reclen = sizeof *d;
    snprintf(d->d_name, sizeof d->d_name, "video%d", node);
    return d;
}

EXPORT struct dirent64 *readdir64(DIR *dir) {
    init();
    struct dirent64 *e;
    while ((e = real_readdir64(dir)) && is_our_name(e->d_name)) {
    }
    if (e) return e;
    int slot, node = next_dev_entry(dir, &slot);
    if (node < 0) return NULL;
    struct dirent64 *d = &dev_dirs[slot].entry64;
    memset(d, 0, sizeof *d);
    d->d_ino = 1000 + (ino64_t)node;
    d->d_type = DT_CHR;
    d->d_reclen = sizeof *d;
    snprintf(d->d_name, sizeof d->d_name, "video%d", node);
    return d;
}

EXPORT int closedir(DIR *dir) {
    init();
    pthread_mutex_lock(&lock);
    for (size_t i = 0; i < sizeof dev_dirs / sizeof dev_dirs[0]; ++i) {
        if (dev_dirs[i].dir == dir) dev_dirs[i].dir = NULL;
    }
    pthread_mutex_unlock(&lock);
    return real_closedir(dir);
}

/* libv4l2 makes its device calls through syscall(). */
EXPORT long syscall(long number, ...) {
    va_list args;
    va_start(args, number);
    long a[6];
    for (int i = 0; i < 6; ++i) a[i] = va_arg(args, long);
    va_end(args);
    init();
    switch (number) {
        case SYS_open: {
            int node = node_of_path((const char *)a[0]);
            if (node >= 0) return fake_open(node, (int)a[1]);
            break;
        }
        case SYS_openat: {
            const char *path = (const char *)a[1];
            int node = path && path[0] == '/' ? node_of_path(path) : -1;
            if (node >= 0) return fake_open(node, (int)a[2]);
            break;
        }
        case SYS_close:
            if (handle_of((int)a[0])) return fake_close((int)a[0]);
            break;
        case SYS_ioctl:
            if (handle_of((int)a[0])) return fake_ioctl((int)a[0], (unsigned long)a[1], (void *)a[2]);
            break;
        case SYS_read:
            if (handle_of((int)a[0])) return fake_read((int)a[0], (void *)a[1], (size_t)a[2]);
            break;
        case SYS_write:
            if (handle_of((int)a[0])) return fail(EINVAL);
            break;
        case SYS_mmap:
            if (!((int)a[3] & MAP_ANONYMOUS) && handle_of((int)a[4]))
                return (long)fake_mmap((void *)a[0], (size_t)a[1], (int)a[2], (int)a[3], (int)a[4],
                                       (off_t)a[5]);
            break;
    }
    return real_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
