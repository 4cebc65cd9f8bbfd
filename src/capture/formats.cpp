#include "capture/formats.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t make_fourcc(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<unsigned char>(a)) |
           static_cast<uint32_t>(static_cast<unsigned char>(b)) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(c)) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(d)) << 24;
}

const uint32_t bgr3 = make_fourcc('B', 'G', 'R', '3');
const uint32_t yuyv = make_fourcc('Y', 'U', 'Y', 'V');
const uint32_t yu12 = make_fourcc('Y', 'U', '1', '2');
const uint32_t mjpg = make_fourcc('M', 'J', 'P', 'G');

// Windows' names for the same bytes.
uint32_t canonical(uint32_t fourcc) {
    if (fourcc == make_fourcc('Y', 'U', 'Y', '2')) return yuyv;
    if (fourcc == make_fourcc('I', '4', '2', '0') || fourcc == make_fourcc('I', 'Y', 'U', 'V')) return yu12;
    return fourcc;
}

// How cheap a format is to take in: lower first.
int intake_rank(uint32_t fourcc) {
    if (fourcc == bgr3) return 0;
    if (fourcc == yuyv || fourcc == make_fourcc('U', 'Y', 'V', 'Y')) return 1;
    if (fourcc == make_fourcc('N', 'V', '1', '2') || fourcc == make_fourcc('N', 'V', '2', '1') ||
        fourcc == yu12 || fourcc == make_fourcc('Y', 'V', '1', '2'))
        return 2;
    if (fourcc == mjpg) return 3;
    return 4;
}

const VIDEOINFOHEADER *video_info(const AM_MEDIA_TYPE *type) {
    if (!type || !IsEqualGUID(type->formattype, FORMAT_VideoInfo) || !type->pbFormat ||
        type->cbFormat < sizeof(VIDEOINFOHEADER))
        return nullptr;
    return reinterpret_cast<const VIDEOINFOHEADER *>(type->pbFormat);
}

void delete_type(AM_MEDIA_TYPE *type) {
    if (!type) return;
    if (type->pbFormat) CoTaskMemFree(type->pbFormat);
    if (type->pUnk) type->pUnk->Release();
    CoTaskMemFree(type);
}

double interval_fps(REFERENCE_TIME interval) {
    return interval > 0 ? 1e7 / static_cast<double>(interval) : 0;
}

IAMStreamConfig *stream_config(ICaptureGraphBuilder2 *builder, IBaseFilter *filter) {
    IAMStreamConfig *config = nullptr;
    if (!builder || !filter ||
        FAILED(builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, filter, IID_IAMStreamConfig,
                                      reinterpret_cast<void **>(&config))))
        return nullptr;
    return config;
}

// "30", "7.5", "29.97".
std::string fps_text(double fps) {
    char text[32];
    double rounded = std::round(fps);
    if (std::fabs(fps - rounded) < 0.005)
        std::snprintf(text, sizeof text, "%.0f", rounded);
    else
        std::snprintf(text, sizeof text, "%.2f", fps);
    std::string s = text;
    if (s.find('.') != std::string::npos) {
        while (s.back() == '0') s.pop_back();
    }
    return s;
}

std::string size_text(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

}  // namespace

std::string fourcc_name(uint32_t fourcc) {
    std::string name;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((fourcc >> (8 * i)) & 0xFF);
        name += c >= 0x20 && c < 0x7F ? c : '?';
    }
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return name;
}

bool parse_fourcc(const std::string &text, uint32_t &fourcc) {
    std::string upper;
    for (char c : text) upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    struct Alias {
        const char *name;
        uint32_t fourcc;
    };
    static const Alias aliases[] = {{"MJPEG", mjpg}, {"JPEG", mjpg},  {"YUY2", yuyv},  {"I420", yu12},
                                    {"IYUV", yu12},  {"BGR24", bgr3}, {"RGB24", bgr3}, {"BGR3", bgr3},
                                    {"YUYV", yuyv},  {"MJPG", mjpg},  {"YU12", yu12}};
    for (const Alias &a : aliases) {
        if (upper == a.name) {
            fourcc = a.fourcc;
            return true;
        }
    }
    // Any other FOURCC as written (case matters for some).
    if (text.size() < 1 || text.size() > 4) return false;
    std::string padded = text + std::string(4 - text.size(), ' ');
    for (char c : padded)
        if (c < 0x20 || c >= 0x7F) return false;
    fourcc = canonical(make_fourcc(padded[0], padded[1], padded[2], padded[3]));
    return true;
}

uint32_t subtype_fourcc(const GUID &subtype) {
    if (IsEqualGUID(subtype, MEDIASUBTYPE_RGB24)) return bgr3;
    static const unsigned char tail[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    if (subtype.Data2 != 0 || subtype.Data3 != 0x0010 || std::memcmp(subtype.Data4, tail, 8) != 0) return 0;
    return canonical(static_cast<uint32_t>(subtype.Data1));
}

std::vector<CameraFormat> read_formats(ICaptureGraphBuilder2 *builder, IBaseFilter *filter) {
    std::vector<CameraFormat> formats;
    IAMStreamConfig *config = stream_config(builder, filter);
    if (!config) return formats;
    int count = 0, size = 0;
    if (SUCCEEDED(config->GetNumberOfCapabilities(&count, &size)) && count > 0 &&
        size >= static_cast<int>(sizeof(VIDEO_STREAM_CONFIG_CAPS))) {
        std::vector<BYTE> caps(static_cast<size_t>(size));
        for (int i = 0; i < count; ++i) {
            AM_MEDIA_TYPE *type = nullptr;
            if (config->GetStreamCaps(i, &type, caps.data()) != S_OK || !type) {
                delete_type(type);
                continue;
            }
            const VIDEOINFOHEADER *info = video_info(type);
            CameraFormat f;
            f.fourcc = subtype_fourcc(type->subtype);
            if (info && f.fourcc != 0 && info->bmiHeader.biWidth > 0 && info->bmiHeader.biHeight != 0) {
                VIDEO_STREAM_CONFIG_CAPS c;
                std::memcpy(&c, caps.data(), sizeof c);
                f.width = info->bmiHeader.biWidth;
                f.height = std::abs(info->bmiHeader.biHeight);
                f.max_fps = interval_fps(c.MinFrameInterval > 0 ? c.MinFrameInterval : info->AvgTimePerFrame);
                f.min_fps = interval_fps(c.MaxFrameInterval > 0 ? c.MaxFrameInterval : info->AvgTimePerFrame);
                f.index = i;
                formats.push_back(f);
            }
            delete_type(type);
        }
    }
    config->Release();
    return formats;
}

int choose_format(const std::vector<CameraFormat> &formats, const FormatRequest &request, int current_width,
                  int current_height) {
    const int width = request.width > 0 ? request.width : current_width;
    const int height = request.height > 0 ? request.height : current_height;
    auto distance = [&](const CameraFormat &f) {
        return static_cast<long>(std::labs(static_cast<long>(f.width) - width) +
                                 std::labs(static_cast<long>(f.height) - height));
    };
    // How far a format's rates are from the one asked for; 0 within them.
    auto rate_miss = [&](const CameraFormat &f) {
        if (request.fps <= 0) return 0.0;
        const double eps = 0.01;
        if (request.fps < f.min_fps - eps) return f.min_fps - request.fps;
        if (f.max_fps > 0 && request.fps > f.max_fps + eps) return request.fps - f.max_fps;
        return 0.0;
    };
    int best = -1;
    for (size_t i = 0; i < formats.size(); ++i) {
        const CameraFormat &f = formats[i];
        if (request.fourcc != 0 && f.fourcc != request.fourcc) continue;
        if (best < 0) {
            best = static_cast<int>(i);
            continue;
        }
        const CameraFormat &b = formats[static_cast<size_t>(best)];
        if (distance(f) != distance(b)) {
            if (distance(f) < distance(b)) best = static_cast<int>(i);
            continue;
        }
        if (rate_miss(f) != rate_miss(b)) {
            if (rate_miss(f) < rate_miss(b)) best = static_cast<int>(i);
            continue;
        }
        if (f.max_fps != b.max_fps) {
            if (f.max_fps > b.max_fps) best = static_cast<int>(i);
            continue;
        }
        if (intake_rank(f.fourcc) < intake_rank(b.fourcc)) best = static_cast<int>(i);
    }
    return best;
}

bool ask_format(ICaptureGraphBuilder2 *builder, IBaseFilter *filter, const FormatRequest &request) {
    std::vector<CameraFormat> formats = read_formats(builder, filter);
    if (formats.empty()) return false;
    int current_width = 0, current_height = 0;
    CameraFormat current;
    if (current_format(builder, filter, current)) {
        current_width = current.width;
        current_height = current.height;
    }
    int chosen = choose_format(formats, request, current_width, current_height);
    if (chosen < 0) return false;
    const CameraFormat &f = formats[static_cast<size_t>(chosen)];
    IAMStreamConfig *config = stream_config(builder, filter);
    if (!config) return false;
    bool done = false;
    int count = 0, size = 0;
    AM_MEDIA_TYPE *type = nullptr;
    if (SUCCEEDED(config->GetNumberOfCapabilities(&count, &size)) &&
        size >= static_cast<int>(sizeof(VIDEO_STREAM_CONFIG_CAPS))) {
        std::vector<BYTE> caps(static_cast<size_t>(size));
        if (config->GetStreamCaps(f.index, &type, caps.data()) == S_OK && type && video_info(type)) {
            VIDEO_STREAM_CONFIG_CAPS c;
            std::memcpy(&c, caps.data(), sizeof c);
            VIDEOINFOHEADER *info = reinterpret_cast<VIDEOINFOHEADER *>(type->pbFormat);
            if (request.fps > 0) {
                REFERENCE_TIME wanted = static_cast<REFERENCE_TIME>(std::llround(1e7 / request.fps));
                if (c.MinFrameInterval > 0 && wanted < c.MinFrameInterval) wanted = c.MinFrameInterval;
                if (c.MaxFrameInterval > 0 && wanted > c.MaxFrameInterval) wanted = c.MaxFrameInterval;
                info->AvgTimePerFrame = wanted;
            } else if (c.MinFrameInterval > 0) {
                info->AvgTimePerFrame = c.MinFrameInterval;
            }
            done = SUCCEEDED(config->SetFormat(type));
        }
    }
    delete_type(type);
    config->Release();
    return done;
}

bool current_format(ICaptureGraphBuilder2 *builder, IBaseFilter *filter, CameraFormat &format) {
    IAMStreamConfig *config = stream_config(builder, filter);
    if (!config) return false;
    AM_MEDIA_TYPE *type = nullptr;
    bool got = false;
    if (SUCCEEDED(config->GetFormat(&type)) && type) {
        if (const VIDEOINFOHEADER *info = video_info(type)) {
            format = CameraFormat();
            format.fourcc = subtype_fourcc(type->subtype);
            format.width = info->bmiHeader.biWidth;
            format.height = std::abs(info->bmiHeader.biHeight);
            format.min_fps = format.max_fps = interval_fps(info->AvgTimePerFrame);
            got = format.width > 0;
        }
    }
    delete_type(type);
    config->Release();
    return got;
}

std::string describe_format(const CameraFormat &format) {
    std::string text = (format.fourcc ? fourcc_name(format.fourcc) : std::string("?")) + " " +
                       size_text(format.width, format.height);
    if (format.max_fps > 0) text += " at " + fps_text(format.max_fps) + " fps";
    return text;
}

std::string format_difference(const CameraFormat &obtained, const FormatRequest &request) {
    std::string asked;
    if (request.fourcc != 0 && request.fourcc != obtained.fourcc) asked += " " + fourcc_name(request.fourcc);
    if (request.width > 0 && (request.width != obtained.width || request.height != obtained.height))
        asked += " " + size_text(request.width, request.height);
    if (request.fps > 0 && std::fabs(request.fps - obtained.max_fps) > 0.05 * request.fps)
        asked += " " + fps_text(request.fps) + " fps";
    return asked.empty() ? std::string() : ", not the" + asked + " asked for";
}

std::string format_lines(const std::vector<CameraFormat> &formats) {
    std::string text;
    std::vector<bool> done(formats.size(), false);
    for (size_t i = 0; i < formats.size(); ++i) {
        if (done[i]) continue;
        const CameraFormat &f = formats[i];
        std::string rates;
        for (size_t j = i; j < formats.size(); ++j) {
            const CameraFormat &g = formats[j];
            if (done[j] || g.fourcc != f.fourcc || g.width != f.width || g.height != f.height) continue;
            done[j] = true;
            if (g.max_fps <= 0) continue;
            std::string rate = fps_text(g.max_fps);
            if (g.min_fps > 0 && std::fabs(g.min_fps - g.max_fps) > 0.005)
                rate = fps_text(g.min_fps) + "-" + rate;
            rates += (rates.empty() ? "" : ", ") + rate;
        }
        text += "\t" + fourcc_name(f.fourcc) + "\t" + size_text(f.width, f.height) + "\t" +
                (rates.empty() ? std::string("-") : rates + " fps") + "\n";
    }
    return text;
}
