// Stand-in for the word-capture library: an engine that reads the pointer from the platform layer
// and finds the text a test has placed at that point.
#include "wcapturex.h"

#include "plat/cursor.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace wcapturex {
namespace {

struct Text {
    std::u16string before, word, after, widened;
    LONG offset = 0;
};

struct State {
    std::mutex lock;
    std::map<std::pair<LONG, LONG>, Text> texts;
    HRESULT pointResult = plat::S_OK;
    std::map<std::string, HRESULT> failures;
    int failingSlot = 0;
    int captures = 0;
    int32_t lastInput[8] = {};
};

State& state() {
    static auto* s = new State();
    return *s;
}

std::atomic<int> liveObjects{0};

HRESULT failureOf(const std::string& what) {
    std::lock_guard<std::mutex> guard(state().lock);
    auto it = state().failures.find(what);
    return it == state().failures.end() ? plat::S_OK : it->second;
}

template <typename Interface> class Object : public Interface {
public:
    explicit Object(const plat::IID& iid) : iid_(iid) { ++liveObjects; }
    virtual ~Object() { --liveObjects; }

    HRESULT QueryInterface(const plat::IID& riid, void** object) override {
        if (!object) {
            return plat::E_POINTER;
        }
        if (riid == plat::IID_IUnknown || riid == iid_) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return plat::S_OK;
        }
        *object = nullptr;
        return plat::E_NOINTERFACE;
    }
    plat::ULONG AddRef() override { return ++references_; }
    plat::ULONG Release() override {
        const plat::ULONG left = --references_;
        if (left == 0) {
            delete this;
        }
        return left;
    }
    HRESULT automationSlot3() override { return plat::E_NOTIMPL; }
    HRESULT automationSlot4() override { return plat::E_NOTIMPL; }
    HRESULT automationSlot5() override { return plat::E_NOTIMPL; }
    HRESULT automationSlot6() override { return plat::E_NOTIMPL; }

private:
    const plat::IID iid_;
    std::atomic<plat::ULONG> references_{1};
};

class Input : public Object<IWInput> {
public:
    Input() : Object<IWInput>(IID_IWInput) {}
    // value, x, y, x2, y2, mode, scope, options
    LONG properties[8] = {};

    HRESULT getValue(LONG* v) override { return get(0, v); }
    HRESULT putValue(LONG v) override { return put(0, v); }
    HRESULT getX(LONG* v) override { return get(1, v); }
    HRESULT putX(LONG v) override { return put(1, v); }
    HRESULT getY(LONG* v) override { return get(2, v); }
    HRESULT putY(LONG v) override { return put(2, v); }
    HRESULT getX2(LONG* v) override { return get(3, v); }
    HRESULT putX2(LONG v) override { return put(3, v); }
    HRESULT getY2(LONG* v) override { return get(4, v); }
    HRESULT putY2(LONG v) override { return put(4, v); }
    HRESULT getMode(LONG* v) override { return get(5, v); }
    HRESULT putMode(LONG v) override { return put(5, v); }
    HRESULT getScope(LONG* v) override { return get(6, v); }
    HRESULT putScope(LONG v) override { return put(6, v); }
    HRESULT getOptions(LONG* v) override { return get(7, v); }
    HRESULT putOptions(LONG v) override { return put(7, v); }

private:
    HRESULT get(int index, LONG* v) {
        if (!v) {
            return plat::E_POINTER;
        }
        *v = properties[index];
        return plat::S_OK;
    }
    // Property index's setter sits in vtable slot 8 + 2 * index.
    HRESULT put(int index, LONG v) {
        const int slot = 8 + 2 * index;
        {
            std::lock_guard<std::mutex> guard(state().lock);
            auto it = state().failures.find("setter");
            if (it != state().failures.end() && state().failingSlot == slot) {
                return it->second;
            }
        }
        properties[index] = v;
        return plat::S_OK;
    }
};

class Result : public Object<IWCaptureResult> {
public:
    Result(Text text) : Object<IWCaptureResult>(IID_IWCaptureResult), text_(std::move(text)) {}

    HRESULT getWord(BSTR* out) override { return give(text_.word, out); }
    HRESULT getBefore(BSTR* out) override { return give(text_.before, out); }
    HRESULT getAfter(BSTR* out) override { return give(text_.after, out); }
    HRESULT getOffset(LONG* offset) override {
        if (!offset) {
            return plat::E_POINTER;
        }
        *offset = text_.offset;
        return plat::S_OK;
    }
    HRESULT unused8() override { return plat::E_NOTIMPL; }
    HRESULT unused9() override { return plat::E_NOTIMPL; }
    HRESULT unused10() override { return plat::E_NOTIMPL; }
    HRESULT unused11() override { return plat::E_NOTIMPL; }
    HRESULT unused12() override { return plat::E_NOTIMPL; }
    HRESULT unused13() override { return plat::E_NOTIMPL; }
    HRESULT unused14() override { return plat::E_NOTIMPL; }
    HRESULT unused16() override { return plat::E_NOTIMPL; }
    HRESULT unused17() override { return plat::E_NOTIMPL; }
    HRESULT unused18() override { return plat::E_NOTIMPL; }
    HRESULT unused19() override { return plat::E_NOTIMPL; }
    HRESULT unused20() override { return plat::E_NOTIMPL; }
    HRESULT unused21() override { return plat::E_NOTIMPL; }
    HRESULT unused22() override { return plat::E_NOTIMPL; }
    HRESULT unused23() override { return plat::E_NOTIMPL; }
    HRESULT unused24() override { return plat::E_NOTIMPL; }
    HRESULT unused26() override { return plat::E_NOTIMPL; }

private:
    static HRESULT give(const std::u16string& text, BSTR* out) {
        if (!out) {
            return plat::E_POINTER;
        }
        *out = text.empty() ? nullptr : allocString(text.data(), uint32_t(text.size()));
        return plat::S_OK;
    }
    Text text_;
};

// The value the point query gives: stands for the window under the point.
LONG pointValue(LONG x, LONG y) {
    return LONG(0x57000000u ^ (uint32_t(x) * 31u + uint32_t(y)));
}

class Engine : public Object<IWCaptureX> {
public:
    Engine() : Object<IWCaptureX>(IID_IWCaptureX) {}

    HRESULT capture(IWInput* input, IWCaptureResult** result) override {
        if (!input || !result) {
            return plat::E_POINTER;
        }
        *result = nullptr;
        const HRESULT forced = failureOf("capture");
        if (forced != plat::S_OK) {
            return forced;
        }
        auto* in = static_cast<Input*>(input);
        std::lock_guard<std::mutex> guard(state().lock);
        ++state().captures;
        for (int i = 0; i < 8; ++i) {
            state().lastInput[i] = in->properties[i];
        }
        // The request must be for the point the query gave.
        if (in->properties[0] != pointValue(in->properties[1], in->properties[2])) {
            return plat::E_INVALIDARG;
        }
        auto it = state().texts.find({in->properties[1], in->properties[2]});
        if (it == state().texts.end()) {
            return plat::S_OK; // nothing there: no result object
        }
        Text text = it->second;
        if (in->properties[7] & kOptionWiden) {
            text.before.clear();
            text.after.clear();
            text.word = text.widened;
        }
        *result = new Result(std::move(text));
        return plat::S_OK;
    }

    HRESULT queryPoint(LONG* value, LONG* x, LONG* y) override {
        if (!value || !x || !y) {
            return plat::E_POINTER;
        }
        HRESULT result;
        {
            std::lock_guard<std::mutex> guard(state().lock);
            result = state().pointResult;
        }
        if (plat::FAILED(result)) {
            return result;
        }
        plat::POINT point{};
        if (!plat::GetCursorPos(&point)) {
            return plat::E_FAIL;
        }
        *x = point.x;
        *y = point.y;
        *value = pointValue(point.x, point.y);
        return result;
    }

    HRESULT unused9() override { return plat::E_NOTIMPL; }
    HRESULT stop() override { return failureOf("stop"); }
};

} // namespace
} // namespace wcapturex

using namespace wcapturex;

extern "C" __attribute__((visibility("default"))) HRESULT CreateCOMObject(const plat::CLSID* clsid, const plat::IID* iid,
                                                                          void** object) {
    if (!clsid || !iid || !object) {
        return plat::E_POINTER;
    }
    *object = nullptr;
    plat::IUnknown* created = nullptr;
    if (*clsid == CLSID_WCaptureX) {
        const HRESULT forced = failureOf("createEngine");
        if (forced != plat::S_OK) {
            return forced;
        }
        created = static_cast<IWCaptureX*>(new Engine());
    } else if (*clsid == CLSID_WInput) {
        const HRESULT forced = failureOf("createInput");
        if (forced != plat::S_OK) {
            return forced;
        }
        created = static_cast<IWInput*>(new Input());
    } else {
        return plat::REGDB_E_CLASSNOTREG;
    }
    const HRESULT hr = created->QueryInterface(*iid, object);
    created->Release();
    return hr;
}

extern "C" {

void wcx_driver_reset() {
    std::lock_guard<std::mutex> guard(state().lock);
    state().texts.clear();
    state().failures.clear();
    state().pointResult = plat::S_OK;
    state().failingSlot = 0;
}

void wcx_driver_setText(int x, int y, const char16_t* before, const char16_t* word, const char16_t* after, int offset,
                        const char16_t* widened) {
    auto text = [](const char16_t* s) { return s ? std::u16string(s) : std::u16string(); };
    std::lock_guard<std::mutex> guard(state().lock);
    state().texts[{x, y}] = Text{text(before), text(word), text(after), text(widened), offset};
}

void wcx_driver_setPointResult(int32_t hr) {
    std::lock_guard<std::mutex> guard(state().lock);
    state().pointResult = hr;
}

void wcx_driver_setFailure(const char* what, int32_t hr, int slot) {
    if (!what) {
        return;
    }
    std::lock_guard<std::mutex> guard(state().lock);
    if (hr == 0) {
        state().failures.erase(what);
    } else {
        state().failures[what] = hr;
        if (std::string(what) == "setter") {
            state().failingSlot = slot;
        }
    }
}

int wcx_driver_liveObjects() {
    return liveObjects.load();
}

int wcx_driver_captureCount() {
    std::lock_guard<std::mutex> guard(state().lock);
    return state().captures;
}

void wcx_driver_lastInput(int32_t* properties) {
    if (!properties) {
        return;
    }
    std::lock_guard<std::mutex> guard(state().lock);
    for (int i = 0; i < 8; ++i) {
        properties[i] = state().lastInput[i];
    }
}

} // extern "C"
