// The JNI exports of nl.brimel.kbr.ui.core.CallToInstallerLib.
#include "MessageWindow.h"
#include "Registrations.h"

#include "kmt/jniguard.h"

#include <cstring>
#include <iostream>
#include <jni.h>
#include <string>

using namespace callto;

namespace {
// A null Java string is refused with the export's failure result, like one the JVM cannot convert.
const char* chars(kmt::JavaUtfChars& guard) {
    if (!guard.string) {
        throw kmt::JavaException("null string");
    }
    return guard.get();
}
} // namespace

extern "C" {

JNIEXPORT jboolean JNICALL Java_nl_brimel_kbr_ui_core_CallToInstallerLib_installCallTo(JNIEnv* env, jclass,
                                                                                       jstring command, jboolean force,
                                                                                       jstring name,
                                                                                       jstring description) {
    try {
        kmt::JavaUtfChars c(env, command);
        kmt::JavaUtfChars n(env, name);
        kmt::JavaUtfChars d(env, description);
        const std::string commandText = chars(c);
        const std::string nameText = chars(n);
        const std::string descriptionText = chars(d);
        return installCallToHandlers(commandText, force != JNI_FALSE, nameText, descriptionText) ? JNI_TRUE
                                                                                                 : JNI_FALSE;
    } catch (const std::exception& e) {
        // A registration that failed is not reported as done.
        std::cerr << "installCallTo: caught exception: " << e.what() << std::endl;
        return JNI_FALSE;
    } catch (...) {
        std::cerr << "installCallTo: caught exception: unknown" << std::endl;
        return JNI_FALSE;
    }
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_ui_core_CallToInstallerLib_installAdmin(JNIEnv* env, jclass,
                                                                                  jstring command) {
    try {
        kmt::JavaUtfChars c(env, command);
        const std::string commandText = chars(c);
        registerProgId("brimel.admin", "Brimel Phone System Admin Protocol", commandText);
    } catch (const std::exception& e) {
        std::cerr << "installAdmin: caught exception: " << e.what() << std::endl;
    } catch (...) {
        std::cerr << "installAdmin: caught exception: unknown" << std::endl;
    }
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_ui_core_CallToInstallerLib_installAutoLogin(JNIEnv* env, jclass,
                                                                                      jstring valueName,
                                                                                      jstring localText,
                                                                                      jstring roamingText) {
    try {
        kmt::JavaUtfChars v(env, valueName);
        kmt::JavaUtfChars l(env, localText);
        kmt::JavaUtfChars r(env, roamingText);
        const char* value = chars(v);
        const char* local = chars(l);
        const char* roaming = chars(r);
        writeAutoLoginRunValue(value, local, roaming);
    } catch (const std::exception& e) {
        std::cerr << "installAutoLogin: caught exception: " << e.what() << std::endl;
    } catch (...) {
        std::cerr << "installAutoLogin: caught exception: unknown" << std::endl;
    }
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_ui_core_CallToInstallerLib_startCallToListener(JNIEnv* env,
                                                                                         jobject object) {
    try {
        runListener(env, object);
    } catch (...) {
        std::cerr << "calltoListener: caught exception: unknown" << std::endl;
    }
}

JNIEXPORT jboolean JNICALL Java_nl_brimel_kbr_ui_core_CallToInstallerLib_executeExisting(JNIEnv* env, jclass,
                                                                                         jstring command) {
    try {
        kmt::JavaUtfChars c(env, command);
        const char* text = chars(c);
        return handOverCommand(text, std::strlen(text)) ? JNI_TRUE : JNI_FALSE;
    } catch (const std::exception& e) {
        std::cerr << "executeExisting: caught exception: " << e.what() << std::endl;
        return JNI_FALSE;
    } catch (...) {
        std::cerr << "executeExisting: caught exception: unknown" << std::endl;
        return JNI_FALSE;
    }
}

JNIEXPORT jboolean JNICALL Java_nl_brimel_kbr_ui_core_CallToInstallerLib_installOutlookCall(
    JNIEnv* env, jclass, jstring description, jstring friendlyName, jint loadBehavior, jstring manifest) {
    try {
        kmt::JavaUtfChars d(env, description);
        kmt::JavaUtfChars f(env, friendlyName);
        kmt::JavaUtfChars m(env, manifest);
        const std::string descriptionText = chars(d);
        const std::string friendlyText = chars(f);
        const std::string manifestText = chars(m);
        registerOutlookAddin(descriptionText, friendlyText, static_cast<int32_t>(loadBehavior), manifestText);
        return JNI_TRUE;
    } catch (const std::exception& e) {
        std::cerr << "installOutlookCall: caught exception: " << e.what() << std::endl;
        return JNI_FALSE;
    } catch (...) {
        std::cerr << "installOutlookCall: caught exception: unknown" << std::endl;
        return JNI_FALSE;
    }
}

} // extern "C"
