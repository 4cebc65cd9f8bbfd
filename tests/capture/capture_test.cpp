// The capture graph against the layer's in-process test devices.
#include "capture/capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/camera_rig.h"
#include "support/dshow_test.h"
#include "support/exit_watch.h"

namespace {

const long invalid_arg = -2147024809;  // E_INVALIDARG as a long
const HRESULT access_denied = static_cast<HRESULT>(0x80070005);
const HRESULT timed_out = static_cast<HRESULT>(0x800705B4);  // HRESULT_FROM_WIN32(ERROR_TIMEOUT)

// What the frame function saw; the frame function is a plain function.
struct Seen {
    std::mutex mutex;
    std::vector<int> lengths;
    std::vector<int> bits;
    std::vector<unsigned char> first_bytes;
    std::atomic<int> count{0};
    std::atomic<bool> inside{false};
    std::atomic<int> delay_ms{0};
};
Seen seen;

void record_frame(unsigned char *data, int length, int bits) {
    seen.inside = true;
    {
        std::lock_guard<std::mutex> lock(seen.mutex);
        seen.lengths.push_back(length);
        seen.bits.push_back(bits);
        seen.first_bytes.push_back(data[0]);
    }
    if (seen.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(seen.delay_ms.load()));
    seen.count++;
    seen.inside = false;
}

void wait_for_frames(int n) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (seen.count < n && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

dshow_test::Device named(const std::u16string &friendly) {
    dshow_test::Device d;
    d.friendly_name = friendly;
    return d;
}

// Frames whose first byte is `marker`.
dshow_test::Device marked(const std::u16string &name, unsigned char marker) {
    dshow_test::Device d = named(name);
    d.produce = [marker](dshow_test::Sample &s) {
        s.data[0] = marker;
        return true;
    };
    return d;
}

class CaptureGraph : public ::testing::Test {
  protected:
    void SetUp() override {
        dshow_test::use_test_devices();
        std::lock_guard<std::mutex> lock(seen.mutex);
        seen.lengths.clear();
        seen.bits.clear();
        seen.first_bytes.clear();
        seen.count = 0;
    }
    void TearDown() override {
        capture.reset();
        dshow_test::reset();
    }

    // Builds the capture object, returning what it printed on the console
    // (each device's name, as the program lists them).
    std::string build() {
        ::testing::internal::CaptureStderr();
        try {
            capture.reset(new VideoCapture(record_frame, announce_device));
        } catch (...) {
            ::testing::internal::GetCapturedStderr();
            throw;
        }
        return ::testing::internal::GetCapturedStderr();
    }

    std::string name(int i) { return capture->GetDevices()[i].GetFriendlyName(); }

    std::unique_ptr<VideoCapture> capture;
};

TEST_F(CaptureGraph, NoDeviceListsNothingAndSelectThrowsInvalidArg) {
    EXPECT_EQ(build(), "");
    EXPECT_EQ(capture->NumDevices(), 0);
    try {
        capture->Select(capture->GetDevices());
        FAIL() << "Select did not throw";
    } catch (long hr) {
        EXPECT_EQ(hr, invalid_arg);
    }
    EXPECT_FALSE(capture->playing);
    // Built anyway: grabber and null renderer are in the graph.
    std::vector<std::u16string> names = dshow_test::filter_names(capture->graph);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Sample Grabber", u"Null Renderer"}));
}

TEST_F(CaptureGraph, DescriptionComesBeforeFriendlyName) {
    dshow_test::Device both = named(u"Friendly A");
    both.description = u"Described A";
    dshow_test::add_device(both);
    dshow_test::add_device(named(u"Only Friendly B"));
    EXPECT_EQ(build(), "fname: Described A\nfname: Only Friendly B\n");
    ASSERT_EQ(capture->NumDevices(), 2);
    EXPECT_EQ(name(0), "Described A");
    EXPECT_EQ(name(1), "Only Friendly B");
    EXPECT_EQ(std::u16string(capture->GetDevices()[0].filter_name), u"Described A");
    std::vector<std::u16string> names = dshow_test::filter_names(capture->graph);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Described A", u"Only Friendly B", u"Sample Grabber",
                                                  u"Null Renderer"}));
}

TEST_F(CaptureGraph, UnreadableDevicesAreSkippedAndTheirEntryReused) {
    dshow_test::Device no_bag = named(u"No bag");
    no_bag.bind_result = E_FAIL;
    dshow_test::Device read_fails = named(u"Unreadable");
    read_fails.read_result = access_denied;
    dshow_test::Device nameless;
    nameless.friendly_name.reset();
    dshow_test::add_device(no_bag);
    dshow_test::add_device(read_fails);
    dshow_test::add_device(nameless);
    dshow_test::add_device(named(u"Good"));
    EXPECT_EQ(build(), "fname: Good\n");
    ASSERT_EQ(capture->NumDevices(), 1);
    EXPECT_EQ(name(0), "Good");
    EXPECT_NE(capture->GetDevices()[0].filter, nullptr);
    EXPECT_EQ(capture->GetDevices()[1].filter, nullptr);
}

TEST_F(CaptureGraph, DeviceWhoseFilterCannotBeAddedIsPrintedButNotCounted) {
    dshow_test::Device refused = named(u"Refused long name");
    refused.add_result = E_FAIL;
    dshow_test::add_device(refused);
    dshow_test::add_device(named(u"Taken"));
    // A success code other than S_OK still adds the filter: counted.
    dshow_test::Device renamed = named(u"Renamed");
    renamed.add_result = VFW_S_DUPLICATE_NAME;
    dshow_test::add_device(renamed);
    EXPECT_EQ(build(), "fname: Refused long name\nfname: Taken\nfname: Renamed\n");
    ASSERT_EQ(capture->NumDevices(), 2);
    // The entry was taken again: the name is the new device's, cut right after it.
    EXPECT_EQ(name(0), "Taken");
    EXPECT_EQ(std::u16string(capture->GetDevices()[0].filter_name), u"Taken");
    EXPECT_EQ(name(1), "Renamed");
    EXPECT_NE(capture->GetDevices()[1].filter, nullptr);
    std::vector<std::u16string> names = dshow_test::filter_names(capture->graph);
    EXPECT_EQ(names,
              (std::vector<std::u16string>{u"Taken", u"Renamed", u"Sample Grabber", u"Null Renderer"}));
    capture->Select(&capture->GetDevices()[1]);
    EXPECT_TRUE(dshow_test::is_connected(capture->GetDevices()[1].filter, capture->grabber_filter));
}

TEST_F(CaptureGraph, IdenticalCamerasAreBothUsableUnderDistinctNames) {
    dshow_test::add_device(marked(u"USB Camera", 0xA1));
    dshow_test::add_device(marked(u"USB Camera", 0xB2));
    dshow_test::add_device(marked(u"USB Camera", 0xC3));
    std::u16string long_name(79, u'x');
    dshow_test::add_device(named(long_name));
    dshow_test::add_device(named(long_name));
    std::string printed = build();
    // The number is the table's, not the device's name: the console has none.
    EXPECT_EQ(printed.substr(0, 54), "fname: USB Camera\nfname: USB Camera\nfname: USB Camera\n");
    ASSERT_EQ(capture->NumDevices(), 5);
    EXPECT_EQ(name(1), "USB Camera #2");
    EXPECT_EQ(std::u16string(capture->GetDevices()[2].filter_name), u"USB Camera #3");
    // Still at most 79 characters: the name gives way to the number.
    EXPECT_EQ(name(4), std::string(76, 'x') + " #2");
    // The second one streams its own frames.
    capture->Select(&capture->GetDevices()[1]);
    capture->Start();
    wait_for_frames(2);
    capture->Stop();
    std::lock_guard<std::mutex> lock(seen.mutex);
    ASSERT_FALSE(seen.first_bytes.empty());
    EXPECT_EQ(seen.first_bytes.back(), 0xB2);
}

TEST_F(CaptureGraph, OnlyTheFirstEightDevicesAreLooked_at) {
    for (int i = 1; i <= 9; ++i) dshow_test::add_device(named(u"Cam " + std::u16string(1, u'0' + i)));
    std::string printed = build();
    EXPECT_EQ(capture->NumDevices(), 8);
    EXPECT_EQ(name(7), "Cam 8");
    EXPECT_NE(printed.find("fname: Cam 8"), std::string::npos);
    EXPECT_EQ(printed.find("Cam 9"), std::string::npos);
}

TEST_F(CaptureGraph, LongAndWideNamesAreCutAndNarrowed) {
    std::u16string long_name;
    for (int i = 0; i < 100; ++i) long_name.push_back(static_cast<char16_t>(u'a' + i % 26));
    dshow_test::add_device(named(long_name));
    dshow_test::add_device(named(u"\u0141\u00f3d\u017a"));  // "Łódź"
    build();
    ASSERT_EQ(capture->NumDevices(), 2);
    EXPECT_EQ(name(0), std::string(long_name.begin(), long_name.begin() + 79));
    EXPECT_EQ(std::u16string(capture->GetDevices()[0].filter_name), long_name.substr(0, 79));
    // The 8-bit copy is the system's text, here UTF-8.
    EXPECT_EQ(name(1), std::string("\xc5\x81\xc3\xb3"
                                   "d\xc5\xba"));
    EXPECT_EQ(std::u16string(capture->GetDevices()[1].filter_name), u"\u0141\u00f3d\u017a");
}

TEST_F(CaptureGraph, TheConsoleShowsWideNamesWhole) {
    dshow_test::add_device(named(u"\u0141\u00f3d\u017a"));   // "Łódź"
    dshow_test::add_device(named(u"Cam \u00e9\U0001F4F7"));  // beyond the 16-bit range too
    EXPECT_EQ(build(),
              "fname: \xc5\x81\xc3\xb3"
              "d\xc5\xba\n"
              "fname: Cam \xc3\xa9\xf0\x9f\x93\xb7\n");
}

TEST_F(CaptureGraph, FailuresWhileBuildingAreThrownAsLong) {
    struct Case {
        const CLSID *clsid;
        HRESULT result;
    };
    const Case cases[] = {{&CLSID_FilterGraph, E_OUTOFMEMORY},
                          {&CLSID_CaptureGraphBuilder2, E_FAIL},
                          {&CLSID_SystemDeviceEnum, E_NOINTERFACE},
                          {&dshow_test::sample_grabber_clsid(), REGDB_E_CLASSNOTREG},
                          {&dshow_test::null_renderer_clsid(), E_FAIL}};
    dshow_test::add_device(named(u"Cam"));
    for (const Case &c : cases) {
        dshow_test::fail_create(*c.clsid, c.result);
        try {
            build();
            ADD_FAILURE() << "constructor did not throw";
        } catch (long hr) {
            EXPECT_EQ(hr, static_cast<long>(c.result));
        }
        dshow_test::fail_create(*c.clsid, S_OK);
    }
    dshow_test::fail_class_enumerator(E_FAIL);
    EXPECT_THROW(build(), long);
    dshow_test::fail_class_enumerator(S_OK);
    // Nothing was left connected or open by the failed attempts.
    EXPECT_EQ(dshow_test::open_streams(), 0);
    build();
    EXPECT_EQ(capture->NumDevices(), 1);
}

TEST_F(CaptureGraph, SelectConnectsTheDeviceAndReportsItsSize) {
    dshow_test::Device cam = named(u"Cam");
    cam.width = 322;
    cam.height = 240;
    dshow_test::add_device(cam);
    build();
    VideoDevice *device = capture->GetDevices();
    capture->Select(device);
    int w = 0, h = 0;
    capture->GetSize(w, h);
    EXPECT_EQ(w, 322);
    EXPECT_EQ(h, 240);
    EXPECT_EQ(capture->current_device, device);
    EXPECT_FALSE(capture->playing);
    EXPECT_TRUE(dshow_test::is_connected(device->filter, capture->grabber_filter));
    EXPECT_TRUE(dshow_test::is_connected(capture->grabber_filter, capture->null_renderer));
    EXPECT_FALSE(dshow_test::is_running(capture->graph));
}

TEST_F(CaptureGraph, SelectThrowsWhatRenderStreamAndControlStreamReturn) {
    dshow_test::Device cannot = named(u"Cannot");
    cannot.render_result = VFW_E_CANNOT_CONNECT;
    dshow_test::Device no_preview = named(u"Odd success");
    no_preview.render_result = 0x0004027E;  // a success code that is not S_OK
    dshow_test::Device broken = named(u"Broken");
    broken.control_result = E_OUTOFMEMORY;  // not just a missing stream control
    dshow_test::add_device(cannot);
    dshow_test::add_device(no_preview);
    dshow_test::add_device(broken);
    build();
    const long expected[] = {static_cast<long>(VFW_E_CANNOT_CONNECT), 0x0004027E,
                             static_cast<long>(E_OUTOFMEMORY)};
    for (int i = 0; i < 3; ++i) {
        try {
            capture->Select(&capture->GetDevices()[i]);
            ADD_FAILURE() << "device " << i;
        } catch (long hr) {
            EXPECT_EQ(hr, expected[i]) << "device " << i;
        }
    }
}

// Ten seconds of stream time per sample: a stop time of 0x7FFFFFFF (214.7 s)
// would end a stream-controlled pin after 22 samples.
const REFERENCE_TIME ten_seconds = 100000000;

TEST_F(CaptureGraph, TheStreamHasNoStopTimeAndPinsWithoutStreamControlAreAccepted) {
    dshow_test::Device controlled = named(u"Controlled");
    controlled.sample_time_step = ten_seconds;
    dshow_test::add_device(controlled);
    for (HRESULT none : {E_FAIL, E_NOTIMPL, E_NOINTERFACE}) {
        dshow_test::Device uncontrolled = named(u"Uncontrolled");
        uncontrolled.control_result = none;
        dshow_test::add_device(uncontrolled);
    }
    build();
    ASSERT_EQ(capture->NumDevices(), 4);
    for (int i = 0; i < 4; ++i) {
        int before = seen.count;
        capture->Select(&capture->GetDevices()[i]);
        capture->Start();
        wait_for_frames(before + 40);
        capture->Stop();
        EXPECT_GE(seen.count, before + 40) << "device " << i;
    }
}

TEST_F(CaptureGraph, AStreamControlledTestDeviceHonoursItsTimes) {
    // What the test above relies on: the device stops delivering at the stop time.
    dshow_test::Device controlled = named(u"Controlled");
    controlled.sample_time_step = ten_seconds;
    dshow_test::add_device(controlled);
    build();
    VideoDevice *device = capture->GetDevices();
    capture->Select(device);
    REFERENCE_TIME start = 2 * ten_seconds;
    REFERENCE_TIME stop = 5 * ten_seconds;
    ASSERT_EQ(capture->builder->ControlStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, device->filter, &start,
                                              &stop, 1, 2),
              S_OK);
    capture->Start();
    wait_for_frames(3);
    // Time for more samples: 50 of them at 2 ms each.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    capture->Stop();
    EXPECT_EQ(seen.count, 3) << "samples at 20, 30 and 40 s";
}

TEST_F(CaptureGraph, AGraphThatFailsToStopNoLongerReachesTheFrameFunction) {
    dshow_test::Device stuck = named(u"Stuck");
    stuck.interval_ms = 0;
    stuck.stop_result = E_FAIL;
    dshow_test::add_device(stuck);
    build();
    capture->Select(capture->GetDevices());
    seen.delay_ms = 5;
    capture->Start();
    wait_for_frames(3);
    EXPECT_THROW(capture->Stop(), long);
    EXPECT_FALSE(seen.inside);
    int after = seen.count;
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(seen.count, after);
    EXPECT_TRUE(dshow_test::is_running(capture->graph)) << "the stream itself runs on";
    seen.delay_ms = 0;
}

TEST_F(CaptureGraph, AStopThatDoesNotEndIsGivenUpAndTheGraphLeftAlone) {
    // The device's thread hangs in its second frame until let go, as a
    // capture thread may hang in a driver.
    struct Hang {
        std::mutex mutex;
        std::condition_variable cv;
        bool hanging = false;
        bool released = false;
        void release() {
            std::lock_guard<std::mutex> lock(mutex);
            released = true;
            cv.notify_all();
        }
    };
    auto hang = std::make_shared<Hang>();
    dshow_test::Device cam = named(u"Hanging");
    cam.produce = [hang](dshow_test::Sample &s) {
        if (s.index == 0) return true;
        std::unique_lock<std::mutex> lock(hang->mutex);
        hang->hanging = true;
        hang->cv.notify_all();
        hang->cv.wait(lock, [&] { return hang->released; });
        return true;
    };
    dshow_test::add_device(cam);
    build();
    capture->Select(capture->GetDevices());
    capture->Start();
    {
        std::unique_lock<std::mutex> lock(hang->mutex);
        ASSERT_TRUE(hang->cv.wait_for(lock, std::chrono::seconds(10), [&] { return hang->hanging; }));
    }
    // Lets the device go after a long while, so that a stop waiting for it
    // fails the test instead of hanging it.
    std::thread watchdog([hang] {
        std::unique_lock<std::mutex> lock(hang->mutex);
        if (!hang->cv.wait_for(lock, std::chrono::seconds(60), [&] { return hang->released; })) {
            hang->released = true;
            hang->cv.notify_all();
        }
    });
    long thrown = 0;
    try {
        capture->Stop();
    } catch (long hr) {
        thrown = hr;
    }
    bool still_hanging;
    {
        std::lock_guard<std::mutex> lock(hang->mutex);
        still_hanging = !hang->released;
    }
    EXPECT_TRUE(still_hanging) << "Stop waited for the device's thread";
    EXPECT_EQ(thrown, timed_out);
    // Nothing touches the graph again.
    for (int call = 0; call < 2; ++call) {
        thrown = 0;
        try {
            if (call == 0) capture->Start();
            if (call == 1) capture->Select(capture->GetDevices());
        } catch (long hr) {
            thrown = hr;
        }
        EXPECT_EQ(thrown, timed_out) << call;
    }
    EXPECT_FALSE(capture->DeviceLost());
    capture->Disconnect();
    EXPECT_TRUE(capture->StopPending());
    int frames = seen.count;

    // The stop left behind ends once the device lets go; the frame in hand
    // never reaches the frame function, and the graph can then be released.
    hang->release();
    watchdog.join();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (capture->StopPending() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_FALSE(capture->StopPending());
    EXPECT_FALSE(dshow_test::is_running(capture->graph));
    EXPECT_EQ(seen.count, frames);
    capture.reset();
    EXPECT_EQ(dshow_test::open_streams(), 0);
}

TEST_F(CaptureGraph, TheGrabberLetsGoOfTheHandlerBeforeItIsFreed) {
    dshow_test::add_device(named(u"Cam"));
    build();
    capture->Select(capture->GetDevices());
    // Something else keeps the grabber alive past the capture object.
    IBaseFilter *grabber = capture->grabber_filter;
    grabber->AddRef();
    EXPECT_TRUE(dshow_test::has_callback(grabber));
    capture.reset();
    EXPECT_FALSE(dshow_test::has_callback(grabber));
    grabber->Release();
}

TEST_F(CaptureGraph, DisconnectClosesTheDeviceAndLeavesBothFiltersInTheGraph) {
    dshow_test::add_device(named(u"Cam"));
    build();
    VideoDevice *device = capture->GetDevices();
    capture->Select(device);
    capture->Start();
    wait_for_frames(1);
    capture->Disconnect();
    EXPECT_FALSE(capture->playing);
    EXPECT_EQ(capture->current_device, nullptr);
    EXPECT_EQ(dshow_test::open_streams(), 0);
    EXPECT_FALSE(dshow_test::has_connections(device->filter));
    EXPECT_FALSE(dshow_test::has_connections(capture->null_renderer));
    EXPECT_EQ(dshow_test::filter_names(capture->graph).size(), 3u);
    capture->Select(device);
    EXPECT_TRUE(dshow_test::is_connected(device->filter, capture->grabber_filter));
}

TEST_F(CaptureGraph, SamplesCarryTheirLengthAndTheCurrentBitDepth) {
    dshow_test::Device cam = named(u"Cam");
    cam.width = 8;
    cam.height = 2;
    cam.produce = [](dshow_test::Sample &s) {
        switch (s.index) {
            case 0:
                break;  // 24
            case 1:
                s.type_result = S_OK, s.subtype = MEDIASUBTYPE_RGB32;
                break;  // 32
            case 2:
                s.length = 10;
                break;  // still 32
            case 3:
                s.pointer_result = E_FAIL;
                break;  // dropped
            case 4:
                s.type_result = E_FAIL;
                break;  // dropped
            case 5:
                s.type_result = S_OK, s.subtype = MEDIASUBTYPE_RGB565;
                break;  // unlisted: 32
            case 6:
                s.type_result = S_OK, s.subtype = MEDIASUBTYPE_RGB555;
                break;  // 16
            case 7:
                s.type_result = S_OK, s.subtype = MEDIASUBTYPE_RGB24;
                break;  // 24
            default:
                return false;  // unplugged
        }
        return true;
    };
    dshow_test::add_device(cam);
    build();
    capture->Select(capture->GetDevices());
    capture->Start();
    EXPECT_TRUE(capture->playing);
    wait_for_frames(6);
    // The device went away after its last sample: no crash, no hang.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    capture->Stop();
    EXPECT_FALSE(capture->playing);
    std::lock_guard<std::mutex> lock(seen.mutex);
    EXPECT_EQ(seen.bits, (std::vector<int>{24, 32, 32, 32, 16, 24}));
    EXPECT_EQ(seen.lengths, (std::vector<int>{48, 48, 10, 48, 48, 48}));
}

TEST_F(CaptureGraph, SelectWhilePlayingSwitchesDevicesAndKeepsPlaying) {
    dshow_test::add_device(marked(u"First", 0xA1));
    dshow_test::add_device(marked(u"Second", 0xB2));
    build();
    VideoDevice *first = &capture->GetDevices()[0];
    VideoDevice *second = &capture->GetDevices()[1];
    capture->Select(first);
    capture->Start();
    wait_for_frames(3);
    capture->Select(second);
    EXPECT_TRUE(capture->playing);
    EXPECT_TRUE(dshow_test::is_running(capture->graph));
    EXPECT_EQ(capture->current_device, second);
    EXPECT_TRUE(dshow_test::is_connected(second->filter, capture->grabber_filter));
    EXPECT_TRUE(dshow_test::is_connected(capture->grabber_filter, capture->null_renderer));
    EXPECT_FALSE(dshow_test::has_connections(first->filter));
    std::vector<std::u16string> names = dshow_test::filter_names(capture->graph);
    EXPECT_EQ(names.size(), 4u);
    EXPECT_NE(std::find(names.begin(), names.end(), u"First"), names.end());
    EXPECT_EQ(dshow_test::open_streams(), 1);

    int before = seen.count;
    wait_for_frames(before + 3);
    capture->Stop();
    std::lock_guard<std::mutex> lock(seen.mutex);
    ASSERT_GE(seen.first_bytes.size(), static_cast<size_t>(before + 3));
    EXPECT_EQ(seen.first_bytes.front(), 0xA1);
    EXPECT_EQ(seen.first_bytes.back(), 0xB2);
}

TEST_F(CaptureGraph, StopReturnsOnlyAfterTheLastCallback) {
    dshow_test::Device cam = named(u"Cam");
    cam.interval_ms = 0;
    dshow_test::add_device(cam);
    build();
    capture->Select(capture->GetDevices());
    seen.delay_ms = 20;
    for (int round = 0; round < 3; ++round) {
        capture->Start();
        wait_for_frames(seen.count + 2);
        capture->Stop();
        EXPECT_FALSE(seen.inside);
        int after = seen.count;
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        EXPECT_EQ(seen.count, after);
    }
    // Stopping a stopped graph is harmless.
    capture->Stop();
}

TEST(CaptureGraphDeathTest, AProcessThatExitsWhilePlayingStopsTheStreamFirst) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            dshow_test::use_test_devices();
            dshow_test::add_device(named(u"Cam"));
            // Never destroyed, as in the program.
            VideoCapture *playing = new VideoCapture(frame_after_exit_check);
            playing->Select(playing->GetDevices());
            playing->Start();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            statics_armed = true;
            std::exit(7);
        },
        ::testing::ExitedWithCode(7), "");
}

TEST(CaptureHandler, AnswersOnlyForItsTwoInterfaces) {
    VideoCapture::CallbackHandler handler(record_frame);
    void *out = nullptr;
    EXPECT_EQ(handler.QueryInterface(IID_ISampleGrabberCB, &out), S_OK);
    EXPECT_EQ(out, static_cast<ISampleGrabberCB *>(&handler));
    out = nullptr;
    EXPECT_EQ(handler.QueryInterface(IID_IUnknown, &out), S_OK);
    EXPECT_EQ(out, static_cast<void *>(&handler));
    void *untouched = &handler;
    EXPECT_EQ(handler.QueryInterface(IID_IMediaSample, &untouched), E_NOINTERFACE);
    EXPECT_EQ(untouched, &handler);
    EXPECT_EQ(handler.AddRef(), 1u);
    EXPECT_EQ(handler.Release(), 2u);
}

}  // namespace
