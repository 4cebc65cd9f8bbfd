// Camera controls on Windows: the v4l2-ctl names mapped onto the capture
// filter's IAMVideoProcAmp and IAMCameraControl properties, whose auto flags
// appear as the automatic controls (white_balance_automatic, auto_exposure,
// focus_automatic_continuous); and the driver's own settings dialog, or the
// program's where the driver has none.
// Values and ranges are the driver's own: DirectShow gives exposure as log2
// of seconds (-5 is 1/32 s), not in V4L2's 100 microsecond units.
#ifdef _WIN32

#include <olectl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "capture/capture.h"
#include "capture/controls.h"
#include "capture/status_lines.h"

namespace {

enum class Source { proc_amp, camera };

struct Property {
    const char *name;
    Source source;
    long id;
    const char *automatic;  // the name of its auto flag as a control, or nullptr
};

const Property properties[] = {
    {"brightness", Source::proc_amp, VideoProcAmp_Brightness, nullptr},
    {"contrast", Source::proc_amp, VideoProcAmp_Contrast, nullptr},
    {"saturation", Source::proc_amp, VideoProcAmp_Saturation, nullptr},
    {"hue", Source::proc_amp, VideoProcAmp_Hue, nullptr},
    {"gamma", Source::proc_amp, VideoProcAmp_Gamma, nullptr},
    {"white_balance_temperature", Source::proc_amp, VideoProcAmp_WhiteBalance, "white_balance_automatic"},
    {"sharpness", Source::proc_amp, VideoProcAmp_Sharpness, nullptr},
    {"backlight_compensation", Source::proc_amp, VideoProcAmp_BacklightCompensation, nullptr},
    {"gain", Source::proc_amp, VideoProcAmp_Gain, nullptr},
    {"exposure_time_absolute", Source::camera, CameraControl_Exposure, "auto_exposure"},
    {"iris_absolute", Source::camera, CameraControl_Iris, nullptr},
    {"focus_absolute", Source::camera, CameraControl_Focus, "focus_automatic_continuous"},
    {"zoom_absolute", Source::camera, CameraControl_Zoom, nullptr},
    {"pan_absolute", Source::camera, CameraControl_Pan, nullptr},
    {"tilt_absolute", Source::camera, CameraControl_Tilt, nullptr},
};

// auto_exposure is a menu as V4L2 has it: 1 manual, 3 aperture priority
// (the camera's automatic mode).
const long exposure_manual = 1;
const long exposure_automatic = 3;

std::string hresult_text(HRESULT hr) {
    char text[40];
    std::snprintf(text, sizeof text, "error 0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

class DShowControls : public CameraControls {
  public:
    explicit DShowControls(IBaseFilter *filter) {
        if (!filter) return;
        filter->QueryInterface(IID_IAMVideoProcAmp, reinterpret_cast<void **>(&proc_amp));
        filter->QueryInterface(IID_IAMCameraControl, reinterpret_cast<void **>(&camera));
    }
    ~DShowControls() override {
        if (proc_amp) proc_amp->Release();
        if (camera) camera->Release();
    }
    DShowControls(const DShowControls &) = delete;
    DShowControls &operator=(const DShowControls &) = delete;

    std::vector<CameraControl> list() override {
        std::vector<CameraControl> result;
        for (const Property &p : properties) {
            Range r;
            if (!range(p, r)) continue;
            long value = 0, flags = 0;
            bool known = SUCCEEDED(get(p, value, flags));
            CameraControl c;
            c.name = p.name;
            c.minimum = r.minimum;
            c.maximum = r.maximum;
            c.step = r.step > 0 ? r.step : 1;
            c.default_value = r.default_value;
            c.value = value;
            c.has_value = known;
            bool automatic = known && (flags & auto_flag) != 0;
            c.inactive = automatic;
            if (p.automatic && (r.caps & auto_flag)) {
                CameraControl a;
                a.name = p.automatic;
                a.has_value = known;
                a.default_value = (r.default_flags & auto_flag) ? 1 : 0;
                a.value = automatic ? 1 : 0;
                a.maximum = 1;
                a.type = CameraControl::Type::boolean;
                if (p.source == Source::camera && p.id == CameraControl_Exposure) {
                    a.type = CameraControl::Type::menu;
                    a.minimum = exposure_manual;
                    a.maximum = exposure_automatic;
                    a.value = automatic ? exposure_automatic : exposure_manual;
                    a.default_value = exposure_automatic;
                    a.menu = {{exposure_manual, "Manual Mode"},
                              {exposure_automatic, "Aperture Priority Mode"}};
                }
                result.push_back(a);
            }
            result.push_back(c);
        }
        return result;
    }

    std::string set(const std::string &name, long long value) override {
        for (const Property &p : properties) {
            long current = 0, flags = 0;
            if (name == p.name) {
                if (p.automatic && SUCCEEDED(get(p, current, flags)) && (flags & auto_flag))
                    return "locked by its automatic mode";
                HRESULT hr = put(p, static_cast<long>(value), manual_flag);
                return SUCCEEDED(hr) ? std::string() : hresult_text(hr);
            }
            if (p.automatic && name == p.automatic) {
                bool on = (p.source == Source::camera && p.id == CameraControl_Exposure)
                              ? value == exposure_automatic
                              : value != 0;
                HRESULT hr = get(p, current, flags);
                if (FAILED(hr)) return hresult_text(hr);
                hr = put(p, current, on ? auto_flag : manual_flag);
                return SUCCEEDED(hr) ? std::string() : hresult_text(hr);
            }
        }
        return "no such control";
    }

  private:
    // VideoProcAmp_Flags_* and CameraControl_Flags_* have the same values.
    static const long auto_flag = 1;
    static const long manual_flag = 2;

    struct Range {
        long minimum = 0, maximum = 0, step = 0, default_value = 0, caps = 0, default_flags = 0;
    };

    bool range(const Property &p, Range &r) {
        HRESULT hr = E_NOINTERFACE;
        if (p.source == Source::proc_amp && proc_amp)
            hr = proc_amp->GetRange(p.id, &r.minimum, &r.maximum, &r.step, &r.default_value, &r.caps);
        if (p.source == Source::camera && camera)
            hr = camera->GetRange(p.id, &r.minimum, &r.maximum, &r.step, &r.default_value, &r.caps);
        // The range's flags tell what the property can do; its default is automatic when it can be.
        r.default_flags = r.caps & auto_flag;
        return SUCCEEDED(hr);
    }

    HRESULT get(const Property &p, long &value, long &flags) {
        if (p.source == Source::proc_amp)
            return proc_amp ? proc_amp->Get(p.id, &value, &flags) : E_NOINTERFACE;
        return camera ? camera->Get(p.id, &value, &flags) : E_NOINTERFACE;
    }

    HRESULT put(const Property &p, long value, long flags) {
        if (p.source == Source::proc_amp) return proc_amp ? proc_amp->Set(p.id, value, flags) : E_NOINTERFACE;
        return camera ? camera->Set(p.id, value, flags) : E_NOINTERFACE;
    }

    IAMVideoProcAmp *proc_amp = nullptr;
    IAMCameraControl *camera = nullptr;
};

// The program's own settings dialog, for a driver that has no property
// pages (Wine's capture filter has none): one row per property the filter
// offers, with a scroll bar over the driver's range in its steps, the value
// the driver reports and an "Auto" box where the property has an auto flag.
// Changes go to the driver at once through DShowControls::set, as --control
// does. Built from user32's own window classes, so no DLL is added.
class SettingsDialog {
  public:
    SettingsDialog(std::unique_ptr<DShowControls> controls, std::wstring caption)
        : controls_(std::move(controls)), caption_(std::move(caption)) {}

    // True when the driver offers at least one property to show.
    bool has_rows() {
        make_rows(controls_->list());
        return !rows_.empty();
    }

    // Shows the dialog and runs its messages until it is closed; on the
    // dialog's own thread.
    void run() {
        std::vector<DWORD> layout = dialog_template();
        HWND dialog = CreateDialogIndirectParamW(GetModuleHandleW(nullptr),
                                                 reinterpret_cast<DLGTEMPLATE *>(layout.data()), nullptr,
                                                 procedure, reinterpret_cast<LPARAM>(this));
        if (!dialog) {
            std::fprintf(stderr, "lumivex: the settings dialog failed: error %lu\n", GetLastError());
            return;
        }
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (IsDialogMessageW(dialog, &msg)) continue;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }

  private:
    struct Row {
        std::string name, automatic;  // the control and its automatic partner (or empty)
        long long minimum = 0, maximum = 0, unit = 1;
        int positions = 0;  // the scroll bar runs 0..positions, one unit each
        HWND bar = nullptr, value = nullptr, check = nullptr;
    };

    // Layout in dialog units.
    static const short margin = 7, pitch = 14, label_width = 104, bar_width = 110, value_width = 32,
                       check_width = 30, button_width = 50, button_height = 14;
    static const short width =
        margin + label_width + 4 + bar_width + 4 + value_width + 6 + check_width + margin;
    static const int first_check = 1000;

    void make_rows(const std::vector<CameraControl> &list) {
        for (const Property &p : properties) {
            const CameraControl *c = find(list, p.name);
            if (!c) continue;
            Row row;
            row.name = p.name;
            if (p.automatic && find(list, p.automatic)) row.automatic = p.automatic;
            row.minimum = c->minimum;
            row.maximum = c->maximum > c->minimum ? c->maximum : c->minimum;
            row.unit = c->step > 0 ? c->step : 1;
            // A scroll bar's range is an int: coarser units for a range too wide.
            while ((row.maximum - row.minimum) / row.unit >= 0x7fffffff) row.unit *= 2;
            row.positions = static_cast<int>((row.maximum - row.minimum + row.unit - 1) / row.unit);
            rows_.push_back(row);
        }
    }

    static const CameraControl *find(const std::vector<CameraControl> &list, const std::string &name) {
        for (const CameraControl &c : list)
            if (c.name == name) return &c;
        return nullptr;
    }

    short height() const {
        return static_cast<short>(margin + pitch * rows_.size() + 4 + button_height + margin);
    }

    // An empty dialog in the system's dialog font; its controls are made in
    // WM_INITDIALOG. DLGTEMPLATE and what follows it are WORDs on a DWORD
    // boundary.
    std::vector<DWORD> dialog_template() const {
        DLGTEMPLATE head = {};
        head.style =
            WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_VISIBLE | DS_SETFONT | DS_MODALFRAME;
        head.cx = width;
        head.cy = height();
        std::vector<WORD> words(sizeof head / sizeof(WORD));
        std::memcpy(words.data(), &head, sizeof head);
        words.push_back(0);  // no menu
        words.push_back(0);  // the system's dialog class
        for (wchar_t c : caption_) words.push_back(static_cast<WORD>(c));
        words.push_back(0);
        words.push_back(8);  // point size
        for (const wchar_t *c = L"MS Shell Dlg"; *c; ++c) words.push_back(static_cast<WORD>(*c));
        words.push_back(0);
        std::vector<DWORD> aligned((words.size() + 1) / 2, 0);
        std::memcpy(aligned.data(), words.data(), words.size() * sizeof(WORD));
        return aligned;
    }

    HWND child(const wchar_t *window_class, const std::string &text, DWORD style, int x, int y, int w, int h,
               int id = 0) {
        RECT r = {x, y, x + w, y + h};
        MapDialogRect(dialog_, &r);
        std::wstring wide(text.begin(), text.end());
        HWND hwnd = CreateWindowExW(0, window_class, wide.c_str(), WS_CHILD | WS_VISIBLE | style, r.left,
                                    r.top, r.right - r.left, r.bottom - r.top, dialog_,
                                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
        SendMessageW(hwnd, WM_SETFONT, SendMessageW(dialog_, WM_GETFONT, 0, 0), FALSE);
        return hwnd;
    }

    void make_controls() {
        int y = margin;
        int x_bar = margin + label_width + 4, x_value = x_bar + bar_width + 4,
            x_check = x_value + value_width + 6;
        for (size_t i = 0; i < rows_.size(); ++i, y += pitch) {
            Row &row = rows_[i];
            child(L"STATIC", row.name, SS_LEFT, margin, y + 2, label_width, 8);
            row.bar = child(L"SCROLLBAR", "", SBS_HORZ | WS_TABSTOP, x_bar, y, bar_width, 10);
            SCROLLINFO info = {sizeof info, SIF_RANGE, 0, row.positions, 0, 0, 0};
            SetScrollInfo(row.bar, SB_CTL, &info, FALSE);
            row.value = child(L"STATIC", "", SS_RIGHT, x_value, y + 2, value_width, 8);
            if (!row.automatic.empty())
                row.check = child(L"BUTTON", "Auto", BS_AUTOCHECKBOX | WS_TABSTOP, x_check, y, check_width,
                                  10, first_check + static_cast<int>(i));
        }
        // What the driver refused, on up to two lines.
        message_ = child(L"STATIC", "", SS_LEFT, margin, y + 2, width - 3 * margin - button_width, 18);
        child(L"BUTTON", "Close", BS_DEFPUSHBUTTON | WS_TABSTOP, width - margin - button_width, y + 4,
              button_width, button_height, IDCLOSE);
        refresh();
    }

    // Every row as the driver now reports it (an automatic mode may have
    // moved or locked its partner).
    void refresh() {
        std::vector<CameraControl> list = controls_->list();
        for (Row &row : rows_) {
            const CameraControl *c = find(list, row.name);
            if (!c) continue;
            long long position = (c->value - row.minimum + row.unit / 2) / row.unit;
            if (position < 0) position = 0;
            if (position > row.positions) position = row.positions;
            SetScrollPos(row.bar, SB_CTL, static_cast<int>(position), TRUE);
            SetWindowTextA(row.value, c->has_value ? std::to_string(c->value).c_str() : "-");
            EnableWindow(row.bar, !c->inactive && !c->read_only);
            const CameraControl *a = row.check ? find(list, row.automatic) : nullptr;
            if (a) SendMessageW(row.check, BM_SETCHECK, is_on(*a) ? BST_CHECKED : BST_UNCHECKED, 0);
        }
    }

    // An automatic control is a boolean, or auto_exposure's menu whose
    // highest entry is the automatic mode.
    static bool is_on(const CameraControl &a) { return a.value == a.maximum && a.maximum != a.minimum; }

    void set(const std::string &name, long long value) {
        std::string why = controls_->set(name, value);
        std::string line = why.empty() ? std::string() : name + "=" + std::to_string(value) + ": " + why;
        SetWindowTextA(message_, line.c_str());
        refresh();
    }

    void scrolled(HWND bar, int request) {
        for (Row &row : rows_) {
            if (row.bar != bar) continue;
            SCROLLINFO info = {sizeof info, SIF_POS | SIF_TRACKPOS, 0, 0, 0, 0, 0};
            GetScrollInfo(bar, SB_CTL, &info);
            int page = row.positions / 10 > 1 ? row.positions / 10 : 1;
            int position = info.nPos;
            switch (request) {
                case SB_LINELEFT:
                    position -= 1;
                    break;
                case SB_LINERIGHT:
                    position += 1;
                    break;
                case SB_PAGELEFT:
                    position -= page;
                    break;
                case SB_PAGERIGHT:
                    position += page;
                    break;
                case SB_LEFT:
                    position = 0;
                    break;
                case SB_RIGHT:
                    position = row.positions;
                    break;
                case SB_THUMBTRACK:
                case SB_THUMBPOSITION:
                    position = info.nTrackPos;
                    break;
                default:
                    return;
            }
            if (position < 0) position = 0;
            if (position > row.positions) position = row.positions;
            if (position == info.nPos) return;
            SetScrollPos(bar, SB_CTL, position, TRUE);
            long long value = row.minimum + position * row.unit;
            set(row.name, value < row.maximum ? value : row.maximum);
            return;
        }
    }

    void checked(int id) {
        size_t i = static_cast<size_t>(id - first_check);
        if (i >= rows_.size() || !rows_[i].check) return;
        const Row &row = rows_[i];
        std::vector<CameraControl> list = controls_->list();
        const CameraControl *a = find(list, row.automatic);
        if (!a) return;
        bool on = SendMessageW(row.check, BM_GETCHECK, 0, 0) == BST_CHECKED;
        set(row.automatic, on ? a->maximum : a->minimum);
    }

    static INT_PTR CALLBACK procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
        if (message == WM_INITDIALOG) {
            SetWindowLongPtrW(hwnd, DWLP_USER, lparam);
            SettingsDialog *self = reinterpret_cast<SettingsDialog *>(lparam);
            self->dialog_ = hwnd;
            self->make_controls();
            return TRUE;  // the keyboard goes to the first row's scroll bar
        }
        SettingsDialog *self = reinterpret_cast<SettingsDialog *>(GetWindowLongPtrW(hwnd, DWLP_USER));
        if (!self) return FALSE;
        switch (message) {
            case WM_HSCROLL:
                self->scrolled(reinterpret_cast<HWND>(lparam), LOWORD(wparam));
                return TRUE;
            case WM_COMMAND:
                if (LOWORD(wparam) == IDCLOSE || LOWORD(wparam) == IDCANCEL || LOWORD(wparam) == IDOK)
                    DestroyWindow(hwnd);
                else if (HIWORD(wparam) == BN_CLICKED)
                    self->checked(LOWORD(wparam));
                return TRUE;
            case WM_CLOSE:
                DestroyWindow(hwnd);
                return TRUE;
            case WM_DESTROY:
                PostQuitMessage(0);
                return TRUE;
            default:
                return FALSE;
        }
    }

    std::unique_ptr<DShowControls> controls_;
    std::wstring caption_;
    std::vector<Row> rows_;
    HWND dialog_ = nullptr, message_ = nullptr;
};

}  // namespace

std::unique_ptr<CameraControls> device_controls(VideoDevice &device) {
    return std::unique_ptr<CameraControls>(new DShowControls(device.filter));
}

void open_settings_dialog(VideoDevice &device, StatusLog &log) {
    IBaseFilter *filter = device.filter;
    ISpecifyPropertyPages *pages = nullptr;
    CAUUID ids = {0, nullptr};
    HRESULT hr = filter ? filter->QueryInterface(IID_ISpecifyPropertyPages, reinterpret_cast<void **>(&pages))
                        : E_POINTER;
    if (SUCCEEDED(hr)) {
        hr = pages->GetPages(&ids);
        pages->Release();
    }
    if (FAILED(hr) || ids.cElems == 0) {
        if (ids.pElems) CoTaskMemFree(ids.pElems);
        std::string why =
            FAILED(hr) ? hresult_text(hr) + " from ISpecifyPropertyPages" : std::string("it lists no pages");
        std::wstring caption = std::wstring(device.filter_name) + L" settings";
        std::unique_ptr<SettingsDialog> dialog(
            new SettingsDialog(std::unique_ptr<DShowControls>(new DShowControls(filter)), caption));
        if (!dialog->has_rows()) {
            std::fprintf(stderr, "lumivex: %s (%s)\n",
                         camera_line(device.GetFriendlyName(), "no settings dialog", "", whole_name).c_str(),
                         why.c_str());
            log.add_line(camera_line(device.GetFriendlyName(), "no settings dialog", "").c_str());
            return;
        }
        std::fprintf(
            stderr, "lumivex: %s (%s); showing Lumivex's own\n",
            camera_line(device.GetFriendlyName(), "no driver's settings dialog", "", whole_name).c_str(),
            why.c_str());
        // Like the driver's dialog below: a thread of its own, so the picture
        // goes on; the dialog holds the filter's interfaces until it closes.
        std::thread([dialog = std::move(dialog)] { dialog->run(); }).detach();
        return;
    }
    // The dialog runs its own message loop on a thread of its own, owned by
    // no window of ours, so the picture goes on behind it.
    filter->AddRef();
    std::wstring caption;
    for (const WCHAR *c = device.filter_name; *c; ++c) caption += *c;
    std::thread([filter, ids, caption] {
        HRESULT com = CoInitialize(nullptr);
        IUnknown *object = filter;
        HRESULT shown = OleCreatePropertyFrame(nullptr, 0, 0, caption.c_str(), 1, &object, ids.cElems,
                                               ids.pElems, 0, 0, nullptr);
        if (FAILED(shown))
            std::fprintf(stderr, "lumivex: the settings dialog failed: %s\n", hresult_text(shown).c_str());
        CoTaskMemFree(ids.pElems);
        filter->Release();
        if (SUCCEEDED(com)) CoUninitialize();
    }).detach();
}

#endif
