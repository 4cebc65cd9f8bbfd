// The header through which the capture module reaches COM and DirectShow:
// the real headers on Windows, the portable layer's declarations elsewhere.
#pragma once

#include "platform/win32.h"

#ifdef _WIN32
#include <dshow.h>
#if defined(__has_include)
#if __has_include(<qedit.h>)
#include <qedit.h>
#define LUMIVEX_HAVE_QEDIT 1
#endif
#endif

#ifndef LUMIVEX_HAVE_QEDIT
// Windows SDKs after DirectX 9 no longer ship qedit.h; the sample grabber
// itself is still part of Windows.
struct __declspec(uuid("0579154a-2b53-4994-b0d0-e773148eff85")) ISampleGrabberCB : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SampleCB(double SampleTime, IMediaSample *pSample) = 0;
    virtual HRESULT STDMETHODCALLTYPE BufferCB(double SampleTime, BYTE *pBuffer, long BufferLen) = 0;
};
struct __declspec(uuid("6b652fff-11fe-4fce-92ad-0266b5d7c78f")) ISampleGrabber : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetOneShot(BOOL OneShot) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetMediaType(const AM_MEDIA_TYPE *pType) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetConnectedMediaType(AM_MEDIA_TYPE *pType) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBufferSamples(BOOL BufferThem) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentBuffer(long *pBufferSize, long *pBuffer) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentSample(IMediaSample **ppSample) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetCallback(ISampleGrabberCB *pCallback,
                                                  long WhichMethodToCallback) = 0;
};
static const IID IID_ISampleGrabberCB = {
    0x0579154a, 0x2b53, 0x4994, {0xb0, 0xd0, 0xe7, 0x73, 0x14, 0x8e, 0xff, 0x85}};
static const IID IID_ISampleGrabber = {
    0x6b652fff, 0x11fe, 0x4fce, {0x92, 0xad, 0x02, 0x66, 0xb5, 0xd7, 0xc7, 0x8f}};
#endif

#else
#include "platform/com.h"
#include "platform/directshow.h"
#endif
