#include "kmt/ComUtil.h"

#include <atomic>
#include <sstream>
#include <stdexcept>

namespace kmt {

namespace {
std::atomic<long> comObjects{0};
}

IUnknownBase::IUnknownBase() { ++comObjects; }
IUnknownBase::~IUnknownBase() { --comObjects; }
long liveComObjects() { return comObjects.load(); }

IDispatchBase::~IDispatchBase() {
    if (typeInfo)
        typeInfo->Release();
    if (typeLib)
        typeLib->Release();
}

plat::HRESULT IDispatchBase::loadTypeInfo(plat::LCID lcid) {
    std::lock_guard<std::mutex> guard(lock);
    if (typeInfo)
        return plat::S_OK;
    if (typeLib) {
        typeLib->Release();
        typeLib = nullptr;
    }
    plat::HRESULT hr = plat::LoadRegTypeLib(*libid, major, minor, lcid, &typeLib);
    if (hr != plat::S_OK)
        return hr;
    hr = typeLib->GetTypeInfoOfGuid(*iid, &typeInfo);
    if (hr != plat::S_OK) {
        typeInfo = nullptr;
        return hr;
    }
    return plat::S_OK;
}

namespace {

const char* hresultText(plat::HRESULT hr) {
    switch (static_cast<uint32_t>(hr)) {
    case 0x00000001u: return "false";
    case 0x80004002u: return "No such interface supported";
    case 0x80004003u: return "Invalid pointer";
    case 0x80004005u: return "Unspecified failure";
    case 0x80040110u: return "class is on part of an aggregation";
    case 0x80040154u: return "Class not registered";
    case 0x80070057u: return "Invalid argument";
    case 0xC00D2767u: return "Debugging not allowed";
    case 0xC00D36B2u: return "Invalid request";
    case 0xC00D36B6u: return "Not initialized";
    case 0xC00D3704u: return "MFT Failed start streaming";
    case 0xC00D3E85u: return "media was shutdown";
    case 0xC00D5212u: return "No transform found for this codec";
    case 0xC00D5215u: return "Invalid time attributes";
    case 0xC00D521Au: return "Topology is missing a source";
    default: return nullptr;
    }
}

} // namespace

void writeHResult(std::ostream& out, plat::HRESULT hr) {
    const uint32_t code = static_cast<uint32_t>(hr);
    out << " : error " << std::hex << code << ": ";
    if (const char* text = hresultText(hr))
        out << text;
    else
        out << "unknown error:" << code;
}

void checkHResult(plat::HRESULT hr, const char* file, int line) {
    if (hr == plat::S_OK)
        return;
    std::ostringstream message;
    message << (file ? file : "") << "(" << std::dec << line << ")";
    writeHResult(message, hr);
    throw std::runtime_error(message.str());
}

namespace {

// The connection point of source for iid; the caller releases it.
plat::HRESULT findPoint(plat::IUnknown* source, const plat::IID& iid, plat::IConnectionPoint** point) {
    *point = nullptr;
    if (!source)
        return plat::E_POINTER;
    plat::IConnectionPointContainer* container = nullptr;
    plat::HRESULT hr = source->QueryInterface(plat::IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    if (plat::FAILED(hr))
        return hr;
    if (!container)
        return plat::E_POINTER;
    hr = container->FindConnectionPoint(iid, point);
    container->Release();
    if (plat::SUCCEEDED(hr) && !*point)
        hr = plat::E_POINTER;
    return hr;
}

} // namespace

plat::HRESULT adviseSink(plat::IUnknown* source, plat::IUnknown* sink, const plat::IID& iid, plat::DWORD* cookie) {
    plat::IConnectionPoint* point = nullptr;
    plat::HRESULT hr = findPoint(source, iid, &point);
    if (plat::FAILED(hr))
        return hr;
    hr = point->Advise(sink, cookie);
    point->Release();
    return hr;
}

plat::HRESULT unadviseSink(plat::IUnknown* source, const plat::IID& iid, plat::DWORD cookie) {
    plat::IConnectionPoint* point = nullptr;
    plat::HRESULT hr = findPoint(source, iid, &point);
    if (plat::FAILED(hr))
        return hr;
    hr = point->Unadvise(cookie);
    point->Release();
    return hr;
}

} // namespace kmt
