// Test-only natives for the headset tests: install the HID device on the engine's phone and drive the
// simulated HID bus that the engine's HID layer reads.
#include "JPhone.h"
#include "hid/BrimelHIDManager.h"

#include "../support/HidDevices.h"

#include "plat/hidsim.h"

#include <jni.h>

#include <sstream>

extern "C" {

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_HidHooks_installHidDevice(JNIEnv*, jclass) {
    JPhone* phone = phoneInstance.load();
    if (phone)
        phone->replacePhoneDevice(createHIDPhoneDevice(phone));
}

JNIEXPORT jint JNICALL Java_nl_brimel_kbr_phone_jni_HidHooks_addDevice(JNIEnv*, jclass, jint vendor,
                                                                       jint product) {
    return plat::hidsim::addDevice(uint16_t(vendor), uint16_t(product),
                                   hidtest::descriptorOf(uint16_t(vendor), uint16_t(product)));
}

JNIEXPORT jboolean JNICALL Java_nl_brimel_kbr_phone_jni_HidHooks_push(JNIEnv* env, jclass, jint id,
                                                                      jbyteArray report) {
    const jsize n = env->GetArrayLength(report);
    std::vector<uint8_t> bytes(size_t(n > 0 ? n : 0));
    if (n > 0)
        env->GetByteArrayRegion(report, 0, n, reinterpret_cast<jbyte*>(bytes.data()));
    return plat::hidsim::pushInput(id, bytes) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_HidHooks_unplug(JNIEnv*, jclass, jint id) {
    plat::hidsim::unplug(id);
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_HidHooks_replug(JNIEnv*, jclass, jint id) {
    plat::hidsim::replug(id);
}

JNIEXPORT jboolean JNICALL Java_nl_brimel_kbr_phone_jni_HidHooks_waitReading(JNIEnv*, jclass, jint id,
                                                                             jint timeoutMs) {
    return plat::hidsim::waitReading(id, timeoutMs) ? JNI_TRUE : JNI_FALSE;
}

// Everything sent to the device so far, one report a line: "<ms> <hex bytes>".
JNIEXPORT jstring JNICALL Java_nl_brimel_kbr_phone_jni_HidHooks_sent(JNIEnv* env, jclass, jint id) {
    std::ostringstream s;
    for (const plat::hidsim::SentReport& r : plat::hidsim::sent(id)) {
        s << r.timeMs;
        for (uint8_t b : r.bytes) {
            static const char digits[] = "0123456789ABCDEF";
            s << ' ' << digits[b >> 4] << digits[b & 15];
        }
        s << '\n';
    }
    return env->NewStringUTF(s.str().c_str());
}

} // extern "C"
