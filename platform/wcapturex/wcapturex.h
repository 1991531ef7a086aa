// The interfaces of the word-capture library (wcapturex_x64.dll; here libwcapturex_x64.so), which
// is an optional product: absent unless installed. Its objects are made by its CreateCOMObject
// export and used through the slots below; the slot order is the library's binary interface.
// Texts cross it as length-prefixed UTF-16 strings that the receiver frees with freeString.
#pragma once

#include "plat/com.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace wcapturex {

using plat::HRESULT;
using plat::LONG;

// A length-prefixed UTF-16 string: the 32-bit byte count sits before the characters, and a
// terminator follows them. Null is the empty string.
using BSTR = char16_t*;

inline BSTR allocString(const char16_t* text, uint32_t length) {
    auto* block = static_cast<unsigned char*>(std::malloc(sizeof(uint32_t) + (size_t(length) + 1) * sizeof(char16_t)));
    if (!block) {
        return nullptr;
    }
    const uint32_t bytes = length * uint32_t(sizeof(char16_t));
    std::memcpy(block, &bytes, sizeof bytes);
    auto* chars = reinterpret_cast<char16_t*>(block + sizeof(uint32_t));
    if (length > 0) {
        std::memcpy(chars, text, length * sizeof(char16_t));
    }
    chars[length] = 0;
    return chars;
}
inline uint32_t stringLength(BSTR s) {
    if (!s) {
        return 0;
    }
    uint32_t bytes = 0;
    std::memcpy(&bytes, reinterpret_cast<unsigned char*>(s) - sizeof(uint32_t), sizeof bytes);
    return bytes / uint32_t(sizeof(char16_t));
}
inline void freeString(BSTR s) {
    if (s) {
        std::free(reinterpret_cast<unsigned char*>(s) - sizeof(uint32_t));
    }
}

// Slots 3 to 6 belong to the automation interface the objects also offer; this build does not
// call them.
struct IAutomationSlots : plat::IUnknown {
    virtual HRESULT automationSlot3() = 0;
    virtual HRESULT automationSlot4() = 0;
    virtual HRESULT automationSlot5() = 0;
    virtual HRESULT automationSlot6() = 0;
};

// One capture request: properties as get/put pairs from slot 7 on.
struct IWInput : IAutomationSlots {
    virtual HRESULT getValue(LONG* value) = 0;   // 7
    virtual HRESULT putValue(LONG value) = 0;    // 8
    virtual HRESULT getX(LONG* value) = 0;       // 9
    virtual HRESULT putX(LONG value) = 0;        // 10
    virtual HRESULT getY(LONG* value) = 0;       // 11
    virtual HRESULT putY(LONG value) = 0;        // 12
    virtual HRESULT getX2(LONG* value) = 0;      // 13
    virtual HRESULT putX2(LONG value) = 0;       // 14
    virtual HRESULT getY2(LONG* value) = 0;      // 15
    virtual HRESULT putY2(LONG value) = 0;       // 16
    virtual HRESULT getMode(LONG* value) = 0;    // 17
    virtual HRESULT putMode(LONG value) = 0;     // 18
    virtual HRESULT getScope(LONG* value) = 0;   // 19
    virtual HRESULT putScope(LONG value) = 0;    // 20
    virtual HRESULT getOptions(LONG* value) = 0; // 21
    virtual HRESULT putOptions(LONG value) = 0;  // 22
};

// The result of one capture: the word, the text before and after it, and the pointer's offset in the word.
struct IWCaptureResult : IAutomationSlots {
    virtual HRESULT getWord(BSTR* text) = 0;   // 7
    virtual HRESULT unused8() = 0;             // 8
    virtual HRESULT unused9() = 0;             // 9
    virtual HRESULT unused10() = 0;            // 10
    virtual HRESULT unused11() = 0;            // 11
    virtual HRESULT unused12() = 0;            // 12
    virtual HRESULT unused13() = 0;            // 13
    virtual HRESULT unused14() = 0;            // 14
    virtual HRESULT getOffset(LONG* offset) = 0; // 15
    virtual HRESULT unused16() = 0;            // 16
    virtual HRESULT unused17() = 0;            // 17
    virtual HRESULT unused18() = 0;            // 18
    virtual HRESULT unused19() = 0;            // 19
    virtual HRESULT unused20() = 0;            // 20
    virtual HRESULT unused21() = 0;            // 21
    virtual HRESULT unused22() = 0;            // 22
    virtual HRESULT unused23() = 0;            // 23
    virtual HRESULT unused24() = 0;            // 24
    virtual HRESULT getBefore(BSTR* text) = 0; // 25
    virtual HRESULT unused26() = 0;            // 26
    virtual HRESULT getAfter(BSTR* text) = 0;  // 27
};

// The capture engine.
struct IWCaptureX : IAutomationSlots {
    virtual HRESULT capture(IWInput* input, IWCaptureResult** result) = 0; // 7
    virtual HRESULT queryPoint(LONG* value, LONG* x, LONG* y) = 0;         // 8
    virtual HRESULT unused9() = 0;                                          // 9
    virtual HRESULT stop() = 0;                                             // 10
};

// {8F267988-0CA4-418C-8F94-B4BC5862B390}
constexpr plat::CLSID CLSID_WCaptureX = {0x8F267988, 0x0CA4, 0x418C, {0x8F, 0x94, 0xB4, 0xBC, 0x58, 0x62, 0xB3, 0x90}};
// {C8C5926E-1113-4A03-B895-820FFAE4E77A}
constexpr plat::IID IID_IWCaptureX = {0xC8C5926E, 0x1113, 0x4A03, {0xB8, 0x95, 0x82, 0x0F, 0xFA, 0xE4, 0xE7, 0x7A}};
// {4B484CCE-9120-49B7-A5F2-B8B183BFD808}
constexpr plat::CLSID CLSID_WInput = {0x4B484CCE, 0x9120, 0x49B7, {0xA5, 0xF2, 0xB8, 0xB1, 0x83, 0xBF, 0xD8, 0x08}};
// {9544B959-24EC-477E-816E-DD1431416962}
constexpr plat::IID IID_IWInput = {0x9544B959, 0x24EC, 0x477E, {0x81, 0x6E, 0xDD, 0x14, 0x31, 0x41, 0x69, 0x62}};
// {6629A892-8148-4501-B9FA-30A1F3E6983C}
constexpr plat::IID IID_IWCaptureResult = {0x6629A892, 0x8148, 0x4501, {0xB9, 0xFA, 0x30, 0xA1, 0xF3, 0xE6, 0x98, 0x3C}};

// The library's one entry point: 0 on success.
using CreateCOMObjectProc = HRESULT (*)(const plat::CLSID* clsid, const plat::IID* iid, void** object);

// Option bit that widens the capture to the text around the point when no word is found there.
constexpr LONG kOptionWiden = 0x100;

} // namespace wcapturex

// The stand-in's driver, for tests (exported C functions of the stand-in library).
extern "C" {
// Forget every word and forced failure.
void wcx_driver_reset();
// The text at one point: the word under it, the text before and after, the offset in the word;
// and the text a widened capture finds there. Texts are NUL-terminated UTF-16 (null: empty).
void wcx_driver_setText(int x, int y, const char16_t* before, const char16_t* word, const char16_t* after, int offset,
                        const char16_t* widened);
// The result the point query gives (S_OK, a success code declining the point, or a failure).
void wcx_driver_setPointResult(int32_t hr);
// Forces failures: "createEngine", "createInput", "setter" (with the slot in slot), "capture",
// "stop"; hr 0 clears it.
void wcx_driver_setFailure(const char* what, int32_t hr, int slot);
// Objects alive, captures run, and the eight properties of the last input seen by capture
// (value, x, y, x2, y2, mode, scope, options).
int wcx_driver_liveObjects();
int wcx_driver_captureCount();
void wcx_driver_lastInput(int32_t* properties);
}
