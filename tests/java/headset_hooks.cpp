// Test-only native library for the Java headset tests: makes one vendor's product present before the
// engine starts, and drives its stand-in (buttons, events) and reads what the engine told it.
#include "dsea/CallControlDriver.h"
#include "plat/dl.h"
#include "spokes3g/HubDriver.h"

#include <jni.h>

#include <string>
#include <vector>

namespace {

std::string text(JNIEnv* env, jstring s) {
    if (!s)
        return std::string();
    const char* chars = env->GetStringUTFChars(s, nullptr);
    if (!chars)
        return std::string();
    std::string result(chars);
    env->ReleaseStringUTFChars(s, chars);
    return result;
}

jstring joined(JNIEnv* env, const std::vector<std::string>& entries) {
    std::string all;
    for (const std::string& entry : entries)
        all += entry + "\n";
    return env->NewStringUTF(all.c_str());
}

plat::HMODULE jabraModule = nullptr;

template <class F>
F jabra(const char* name) {
    return jabraModule ? reinterpret_cast<F>(plat::GetProcAddress(jabraModule, name)) : nullptr;
}

} // namespace

extern "C" {

JNIEXPORT jboolean JNICALL Java_nl_brimel_kbr_phone_jni_HeadsetHooks_makePresent(JNIEnv* env, jclass,
                                                                                  jstring vendor) {
    const std::string which = text(env, vendor);
    if (which == "plantronics") {
        spokes3g::hub::install();
        spokes3g::hub::attachDevice("Voyager Focus", "voyager", "Plantronics", "0001");
        return JNI_TRUE;
    }
    if (which == "jabra") {
        plat::SetDllDirectoryA(KBR_VENDOR_LIBDIR);
        jabraModule = plat::LoadLibraryA("libjabra.dll");
        return jabraModule ? JNI_TRUE : JNI_FALSE;
    }
    if (which == "epos") {
        dsea::driver::setPresent(true);
        return JNI_TRUE;
    }
    return JNI_FALSE;
}

// What the headset's product was told since the last call, one entry a line.
JNIEXPORT jstring JNICALL Java_nl_brimel_kbr_phone_jni_HeadsetHooks_takeHeadsetCalls(JNIEnv* env, jclass,
                                                                                     jstring vendor) {
    const std::string which = text(env, vendor);
    if (which == "plantronics")
        return joined(env, spokes3g::hub::takeCommands());
    if (which == "epos")
        return joined(env, dsea::driver::takeCalls());
    if (which == "jabra" && jabraModule) {
        char buffer[8192];
        jabra<int (*)(char*, int)>("jabra_driver_take_calls")(buffer, sizeof buffer);
        return env->NewStringUTF(buffer);
    }
    return env->NewStringUTF("");
}

JNIEXPORT jint JNICALL Java_nl_brimel_kbr_phone_jni_HeadsetHooks_plantronicsCallState(JNIEnv* env, jclass,
                                                                                       jint state, jint callId,
                                                                                       jstring dtmf) {
    spokes3g::hub::CallEvent event;
    event.callState = state;
    event.callId = callId;
    if (dtmf) {
        event.withDtmf = true;
        const std::string keys = text(env, dtmf);
        event.dtmf.assign(keys.begin(), keys.end());
    }
    return spokes3g::hub::raiseCallState(event);
}

JNIEXPORT jint JNICALL Java_nl_brimel_kbr_phone_jni_HeadsetHooks_plantronicsCallRequest(JNIEnv* env, jclass,
                                                                                         jstring number) {
    const std::string n = text(env, number);
    return spokes3g::hub::raiseCallRequest(std::u16string(n.begin(), n.end()));
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_HeadsetHooks_jabraAttach(JNIEnv* env, jclass, jint id,
                                                                            jstring name) {
    if (jabraModule)
        jabra<void (*)(unsigned short, const char*)>("jabra_driver_attach")(static_cast<unsigned short>(id),
                                                                            text(env, name).c_str());
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_HeadsetHooks_jabraButton(JNIEnv*, jclass, jint id, jint input,
                                                                            jboolean value) {
    if (jabraModule)
        jabra<void (*)(unsigned short, int, bool)>("jabra_driver_button")(static_cast<unsigned short>(id), input,
                                                                          value == JNI_TRUE);
}

JNIEXPORT jboolean JNICALL Java_nl_brimel_kbr_phone_jni_HeadsetHooks_eposRequest(JNIEnv* env, jclass, jstring what,
                                                                                jstring callId) {
    return dsea::driver::request(text(env, what), text(env, callId)) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_nl_brimel_kbr_phone_jni_HeadsetHooks_eposMute(JNIEnv*, jclass, jboolean muted) {
    return dsea::driver::mute(muted == JNI_TRUE) ? JNI_TRUE : JNI_FALSE;
}

} // extern "C"
