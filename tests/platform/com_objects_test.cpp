// QueryInterface, AddRef and Release of every COM object of the portable
// DirectShow: the interfaces each one answers for, one identity, shared
// reference counts, and the media sample that is counted but never deleted.
// Under the asan preset a missing or extra delete shows up as a leak or a
// bad free.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <thread>

#include "platform/dshow.h"
#include "support/dshow_test.h"

namespace {

void *identity(IUnknown *object) {
    void *unknown = nullptr;
    EXPECT_EQ(object->QueryInterface(IID_IUnknown, &unknown), S_OK);
    if (unknown) static_cast<IUnknown *>(unknown)->Release();
    return unknown;
}

// The IUnknown contract: E_POINTER for a null out-pointer; S_OK, an added
// reference to the one shared count and the same identity for each IID in
// `has`; E_NOINTERFACE and a null result for each IID in `lacks`. Leaves the
// count as it found it.
void expect_iunknown(IUnknown *object, std::initializer_list<const IID *> has,
                     std::initializer_list<const IID *> lacks) {
    const ULONG before = object->AddRef() - 1;
    EXPECT_EQ(object->Release(), before);
    EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    void *self = identity(object);
    ASSERT_NE(self, nullptr);
    for (const IID *iid : has) {
        void *out = nullptr;
        ASSERT_EQ(object->QueryInterface(*iid, &out), S_OK);
        ASSERT_NE(out, nullptr);
        IUnknown *asked = static_cast<IUnknown *>(out);
        EXPECT_EQ(object->AddRef(), before + 2);
        EXPECT_EQ(object->Release(), before + 1);
        EXPECT_EQ(identity(asked), self);
        EXPECT_EQ(asked->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
        EXPECT_EQ(asked->Release(), before);
    }
    for (const IID *iid : lacks) {
        void *out = &out;
        EXPECT_EQ(object->QueryInterface(*iid, &out), E_NOINTERFACE);
        EXPECT_EQ(out, nullptr);
    }
    EXPECT_EQ(object->AddRef(), before + 1);
    EXPECT_EQ(object->Release(), before);
}

template <class Interface>
Interface *create(const CLSID &clsid, const IID &iid) {
    void *object = nullptr;
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, &object), S_OK);
    return static_cast<Interface *>(object);
}

template <class Interface>
Interface *query(IUnknown *object, const IID &iid) {
    void *out = nullptr;
    EXPECT_EQ(object->QueryInterface(iid, &out), S_OK);
    return static_cast<Interface *>(out);
}

class ComObjects : public ::testing::Test {
  protected:
    void SetUp() override {
        CoInitialize(nullptr);
        dshow_test::use_test_devices();
        dshow_test::add_device(dshow_test::Device());
    }
    void TearDown() override {
        dshow_test::reset();
        CoUninitialize();
    }

    IMoniker *first_moniker() {
        ICreateDevEnum *devices = create<ICreateDevEnum>(CLSID_SystemDeviceEnum, IID_ICreateDevEnum);
        IEnumMoniker *monikers = nullptr;
        EXPECT_EQ(devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &monikers, 0), S_OK);
        devices->Release();
        IMoniker *moniker = nullptr;
        EXPECT_EQ(monikers->Next(1, &moniker, nullptr), S_OK);
        monikers->Release();
        return moniker;
    }
};

TEST_F(ComObjects, GraphAnswersForItsGraphInterfacesAndMediaControl) {
    IFilterGraph2 *graph = create<IFilterGraph2>(CLSID_FilterGraph, IID_IFilterGraph2);
    expect_iunknown(graph, {&IID_IFilterGraph, &IID_IGraphBuilder, &IID_IFilterGraph2, &IID_IMediaControl},
                    {&IID_IBaseFilter, &IID_ISampleGrabber, &IID_ICaptureGraphBuilder2, &IID_IMediaSample});
    // The graph interfaces are one pointer, the identity; media control is another.
    IFilterGraph *base = query<IFilterGraph>(graph, IID_IFilterGraph);
    IMediaControl *control = query<IMediaControl>(graph, IID_IMediaControl);
    EXPECT_EQ(static_cast<void *>(base), identity(graph));
    EXPECT_NE(static_cast<void *>(control), identity(graph));
    expect_iunknown(control, {&IID_IFilterGraph2}, {&IID_IBaseFilter});
    EXPECT_EQ(base->Release(), 2u);
    EXPECT_EQ(control->Release(), 1u);
    EXPECT_EQ(graph->Release(), 0u);
}

TEST_F(ComObjects, AFilterNameAlreadyInTheGraphGetsASpaceAndANumber) {
    IFilterGraph2 *graph = create<IFilterGraph2>(CLSID_FilterGraph, IID_IFilterGraph2);
    IBaseFilter *filters[3];
    for (IBaseFilter *&f : filters)
        f = create<IBaseFilter>(dshow_test::null_renderer_clsid(), IID_IBaseFilter);
    EXPECT_EQ(graph->AddFilter(filters[0], OLESTR("Renderer")), S_OK);
    EXPECT_EQ(graph->AddFilter(filters[1], OLESTR("Renderer")), VFW_S_DUPLICATE_NAME);
    EXPECT_EQ(graph->AddFilter(filters[2], OLESTR("Renderer")), VFW_S_DUPLICATE_NAME);
    EXPECT_EQ(dshow_test::filter_names(graph),
              (std::vector<std::u16string>{u"Renderer", u"Renderer 0001", u"Renderer 0002"}));
    for (IBaseFilter *f : filters) f->Release();
    graph->Release();
}

TEST_F(ComObjects, SampleGrabberSharesOneCountBetweenFilterAndGrabber) {
    IBaseFilter *filter = create<IBaseFilter>(dshow_test::sample_grabber_clsid(), IID_IBaseFilter);
    expect_iunknown(filter, {&IID_IBaseFilter, &IID_ISampleGrabber}, {&IID_IFilterGraph, &IID_IMediaControl});
    ISampleGrabber *grabber = query<ISampleGrabber>(filter, IID_ISampleGrabber);
    EXPECT_NE(static_cast<void *>(grabber), identity(filter));
    expect_iunknown(grabber, {&IID_IBaseFilter}, {&IID_IMediaSample});
    EXPECT_EQ(filter->Release(), 1u);
    EXPECT_EQ(grabber->AddRef(), 2u);
    EXPECT_EQ(grabber->Release(), 1u);
    EXPECT_EQ(grabber->Release(), 0u);
}

TEST_F(ComObjects, BuilderEnumeratorAndNullRendererAnswerForTheirOneInterface) {
    ICaptureGraphBuilder2 *builder =
        create<ICaptureGraphBuilder2>(CLSID_CaptureGraphBuilder2, IID_ICaptureGraphBuilder2);
    expect_iunknown(builder, {&IID_ICaptureGraphBuilder2}, {&IID_IFilterGraph, &IID_IBaseFilter});
    EXPECT_EQ(builder->Release(), 0u);

    ICreateDevEnum *devices = create<ICreateDevEnum>(CLSID_SystemDeviceEnum, IID_ICreateDevEnum);
    expect_iunknown(devices, {&IID_ICreateDevEnum}, {&IID_IEnumMoniker, &IID_IMoniker});
    EXPECT_EQ(devices->Release(), 0u);

    IBaseFilter *renderer = create<IBaseFilter>(dshow_test::null_renderer_clsid(), IID_IBaseFilter);
    expect_iunknown(renderer, {&IID_IBaseFilter}, {&IID_ISampleGrabber, &IID_IMediaControl});
    EXPECT_EQ(renderer->Release(), 0u);
}

TEST_F(ComObjects, CreationAsksForTheInterfaceAndFailsCleanlyForOneItLacks) {
    void *out = &out;
    EXPECT_EQ(
        CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph, &out),
        E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    IUnknown *unknown = create<IUnknown>(dshow_test::null_renderer_clsid(), IID_IUnknown);
    ASSERT_NE(unknown, nullptr);
    EXPECT_EQ(unknown->Release(), 0u);
}

TEST_F(ComObjects, EnumeratorMonikerPropertyBagAndSourceFilterAnswerForTheirOwn) {
    ICreateDevEnum *devices = create<ICreateDevEnum>(CLSID_SystemDeviceEnum, IID_ICreateDevEnum);
    IEnumMoniker *monikers = nullptr;
    ASSERT_EQ(devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &monikers, 0), S_OK);
    expect_iunknown(monikers, {&IID_IEnumMoniker}, {&IID_IMoniker, &IID_ICreateDevEnum});
    EXPECT_EQ(monikers->Release(), 0u);
    EXPECT_EQ(devices->Release(), 0u);

    IMoniker *moniker = first_moniker();
    ASSERT_NE(moniker, nullptr);
    expect_iunknown(moniker, {&IID_IMoniker}, {&IID_IPropertyBag, &IID_IEnumMoniker});
    void *bag = nullptr;
    ASSERT_EQ(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, &bag), S_OK);
    IPropertyBag *properties = static_cast<IPropertyBag *>(bag);
    expect_iunknown(properties, {&IID_IPropertyBag}, {&IID_IMoniker});
    EXPECT_EQ(properties->Release(), 0u);

    IFilterGraph2 *graph = create<IFilterGraph2>(CLSID_FilterGraph, IID_IFilterGraph2);
    IBaseFilter *source = nullptr;
    ASSERT_EQ(graph->AddSourceFilterForMoniker(moniker, nullptr, u"Camera", &source), S_OK);
    // The caller's reference and the graph's.
    expect_iunknown(source, {&IID_IBaseFilter}, {&IID_ISampleGrabber, &IID_IMoniker});
    EXPECT_EQ(source->Release(), 1u);
    EXPECT_EQ(moniker->Release(), 0u);
    EXPECT_EQ(graph->Release(), 0u);
}

// Runs the checks on the first sample it is handed, on the streaming thread.
class SampleProbe final : public ISampleGrabberCB {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void **object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE SampleCB(double, IMediaSample *sample) override {
        if (checked) return S_OK;
        expect_iunknown(sample, {&IID_IMediaSample}, {&IID_IBaseFilter, &IID_ISampleGrabberCB});
        // The sample lives on the streaming thread's stack: releasing the
        // stream's own reference counts down to 0 without deleting it.
        EXPECT_EQ(sample->Release(), 0u);
        EXPECT_EQ(sample->AddRef(), 1u);
        checked = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE BufferCB(double, BYTE *, LONG) override { return S_OK; }

    std::atomic<bool> checked{false};
};

TEST_F(ComObjects, MediaSampleIsCountedButNeverDeleted) {
    IFilterGraph2 *graph = create<IFilterGraph2>(CLSID_FilterGraph, IID_IFilterGraph2);
    ICaptureGraphBuilder2 *builder =
        create<ICaptureGraphBuilder2>(CLSID_CaptureGraphBuilder2, IID_ICaptureGraphBuilder2);
    ASSERT_EQ(builder->SetFiltergraph(graph), S_OK);
    IMoniker *moniker = first_moniker();
    IBaseFilter *source = nullptr;
    ASSERT_EQ(graph->AddSourceFilterForMoniker(moniker, nullptr, u"Camera", &source), S_OK);
    IBaseFilter *grabber = create<IBaseFilter>(dshow_test::sample_grabber_clsid(), IID_IBaseFilter);
    IBaseFilter *renderer = create<IBaseFilter>(dshow_test::null_renderer_clsid(), IID_IBaseFilter);
    ASSERT_EQ(graph->AddFilter(grabber, u"Grabber"), S_OK);
    ASSERT_EQ(graph->AddFilter(renderer, u"Renderer"), S_OK);
    ASSERT_EQ(builder->RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, source, grabber, renderer),
              S_OK);

    SampleProbe probe;
    ISampleGrabber *sample_grabber = query<ISampleGrabber>(grabber, IID_ISampleGrabber);
    ASSERT_EQ(sample_grabber->SetCallback(&probe, 0), S_OK);
    IMediaControl *control = query<IMediaControl>(graph, IID_IMediaControl);
    ASSERT_EQ(control->Run(), S_OK);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!probe.checked && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(control->StopWhenReady(), S_OK);
    EXPECT_TRUE(probe.checked);

    control->Release();
    sample_grabber->Release();
    renderer->Release();
    grabber->Release();
    source->Release();
    moniker->Release();
    builder->Release();
    EXPECT_EQ(graph->Release(), 0u);
}

}  // namespace
